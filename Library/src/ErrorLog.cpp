#include "ErrorLog.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "Tavix/HardwareAPI/LogSink.h"

namespace Tavix::HardwareAPI {
namespace {

std::atomic<LogSink> log_sink{nullptr};

}  // namespace

void SetLogSink(LogSink sink) noexcept { log_sink.store(sink, std::memory_order_release); }

void LogError(const char* source, unsigned line, const char* message_format, ...) {
  const int error = errno;
  char message[256];
  va_list args;
  va_start(args, message_format);
  std::vsnprintf(message, sizeof message, message_format, args);
  va_end(args);
  if (const LogSink sink = log_sink.load(std::memory_order_acquire)) {
    char text[512];
    std::snprintf(text, sizeof text, "[err] %s:%u> %s: [%d] %s", source, line, message, error,
                  std::strerror(error));
    sink(text);
  } else {
    std::fprintf(stderr, "[err] %s:%u> %s: [%d] %s\n", source, line, message, error,
                 std::strerror(error));
    std::fflush(stderr);
  }
  errno = error;
}

}  // namespace Tavix::HardwareAPI
