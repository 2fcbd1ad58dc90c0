#include "MutedStderr.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace Tavix::Cli {

MutedStderr::MutedStderr() {
  std::fflush(stderr);
  const CommandLine::FileDescriptor null(open("/dev/null", O_WRONLY | O_CLOEXEC));
  if (!null.IsOpen()) return;  // then the log stays visible, which is harmless
  saved_.Reset(fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0));
  if (saved_.IsOpen()) dup2(null.Get(), STDERR_FILENO);
}

MutedStderr::~MutedStderr() {
  if (!saved_.IsOpen()) return;
  std::fflush(stderr);
  dup2(saved_.Get(), STDERR_FILENO);
}

}  // namespace Tavix::Cli
