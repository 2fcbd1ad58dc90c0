#pragma once

namespace Tavix::HardwareAPI {

/// Receives one error log line, complete but without its newline, for example
/// "[err] Library/src/Device:58> timeout waiting for header code: [0] Success". Called
/// on the thread that logs, any thread of the process (detection workers included),
/// possibly on several at once; the lines of a servo loop's thread, which never waits
/// on logging, are handed over later, in order, on the library's logging thread
/// instead. It must not throw, and the text is valid only during the call.
using LogSink = void (*)(const char* line);

/// Sends the library's "[err]" lines to `sink` instead of standard error; null restores
/// standard error, where each line is written with one fprintf and flushed. Process-wide
/// and safe to call from any thread: a line logged while the sink changes goes to the
/// old or the new one (a servo loop's line: to the sink set when the logging thread
/// hands it over). With no sink set, logging allocates nothing.
void SetLogSink(LogSink sink) noexcept;

}  // namespace Tavix::HardwareAPI
