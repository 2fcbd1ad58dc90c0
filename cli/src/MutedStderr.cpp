#include "MutedStderr.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace Tavix::Cli {

MutedStderr::MutedStderr() {
  std::fflush(stderr);
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0) return;  // then the log stays visible, which is harmless
  saved_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
  if (saved_ >= 0) dup2(null, STDERR_FILENO);
  close(null);
}

MutedStderr::~MutedStderr() {
  if (saved_ < 0) return;
  std::fflush(stderr);
  dup2(saved_, STDERR_FILENO);
  close(saved_);
}

}  // namespace Tavix::Cli
