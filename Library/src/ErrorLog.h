#pragma once

namespace Tavix::HardwareAPI {

/// Makes one line "[err] <source>:<line>> <message>: [<errno>] <strerror(errno)>" and
/// writes it to stderr with a single fprintf and flushes it, or hands it to the sink set
/// with `SetLogSink` (LogSink.h). `message_format` is printf-style. errno is read on
/// entry and left unchanged. Allocates nothing, unless a sink does.
///
/// On a thread marked real-time (`DeferredLog::RealtimeThread`: a servo loop's) it
/// never waits on the writing: the line is posted to the logging thread, which writes
/// it (or hands it to the sink) later, in order; a line that finds the queue full is
/// dropped and counted (`DeferredLog::DroppedLines`, and the thread's own count). Every
/// other thread writes its line before the call returns.
void LogError(const char* source, unsigned line, const char* message_format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace Tavix::HardwareAPI
