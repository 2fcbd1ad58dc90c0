#include "ErrorLog.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace Tavix::HardwareAPI {

void LogError(const char* source, unsigned line, const char* message_format, ...) {
  const int error = errno;
  char message[256];
  va_list args;
  va_start(args, message_format);
  std::vsnprintf(message, sizeof message, message_format, args);
  va_end(args);
  std::fprintf(stderr, "[err] %s:%u> %s: [%d] %s\n", source, line, message, error,
               std::strerror(error));
  std::fflush(stderr);
  errno = error;
}

}  // namespace Tavix::HardwareAPI
