#include "StopRequest.h"

#include <pthread.h>

#include "Durations.h"

namespace Tavix::Cli {

StopRequest::StopRequest() {
  sigemptyset(&stop_signals_);
  sigaddset(&stop_signals_, SIGINT);
  sigaddset(&stop_signals_, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals_, nullptr);
}

bool StopRequest::WaitFor(std::chrono::steady_clock::duration duration) const {
  const timespec timeout = CommandLine::ToTimespec(duration);
  // Another signal cutting the wait short (EINTR) only makes the next sample early.
  return sigtimedwait(&stop_signals_, nullptr, &timeout) > 0;
}

}  // namespace Tavix::Cli
