#include "ErrorLog.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "DeferredLog.h"
#include "Tavix/HardwareAPI/LogSink.h"

namespace Tavix::HardwareAPI {
namespace {

std::atomic<LogSink> log_sink{nullptr};

// Hands a complete line to the sink, or writes it to standard error with one fprintf
// and flushes it. On the thread that logged, or on the logging thread for the lines of
// a real-time thread.
void WriteLine(const char* text) {
  if (const LogSink sink = log_sink.load(std::memory_order_acquire)) {
    sink(text);
  } else {
    std::fprintf(stderr, "%s\n", text);
    std::fflush(stderr);
  }
}

// strerror's text for `error` as the C locale has it, without strerror's translation
// lookup (which may lock and allocate): for a real-time thread.
const char* Description(int error, char (&unknown)[32]) noexcept {
  if (const char* description = strerrordesc_np(error)) return description;
  std::snprintf(unknown, sizeof unknown, "Unknown error %d", error);
  return unknown;
}

}  // namespace

void SetLogSink(LogSink sink) noexcept { log_sink.store(sink, std::memory_order_release); }

void LogError(const char* source, unsigned line, const char* message_format, ...) {
  const int error = errno;
  char message[256];
  va_list args;
  va_start(args, message_format);
  std::vsnprintf(message, sizeof message, message_format, args);
  va_end(args);
  char text[DeferredLog::kLineBytes];
  if (DeferredLog::OnRealtimeThread()) {
    char unknown[32];
    std::snprintf(text, sizeof text, "[err] %s:%u> %s: [%d] %s", source, line, message, error,
                  Description(error, unknown));
    DeferredLog::Post(&WriteLine, text);  // a full queue counts the line as dropped
  } else {
    std::snprintf(text, sizeof text, "[err] %s:%u> %s: [%d] %s", source, line, message, error,
                  std::strerror(error));
    WriteLine(text);
  }
  errno = error;
}

}  // namespace Tavix::HardwareAPI
