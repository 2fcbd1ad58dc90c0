#pragma once

namespace Tavix::HardwareAPI {

/// Prints one line "[err] <source>:<line>> <message>: [<errno>] <strerror(errno)>" to
/// stderr with a single fprintf and flushes it, or hands it to the sink set with
/// `SetLogSink` (LogSink.h). `message_format` is printf-style. errno is read on entry
/// and left unchanged. Allocates nothing, unless a sink does.
void LogError(const char* source, unsigned line, const char* message_format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace Tavix::HardwareAPI
