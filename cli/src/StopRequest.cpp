#include "StopRequest.h"

#include <algorithm>
#include <pthread.h>

namespace Tavix::Cli {

StopRequest::StopRequest() {
  sigemptyset(&stop_signals_);
  sigaddset(&stop_signals_, SIGINT);
  sigaddset(&stop_signals_, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals_, nullptr);
}

bool StopRequest::WaitFor(std::chrono::steady_clock::duration duration) const {
  using namespace std::chrono;
  const nanoseconds wait = std::max(duration_cast<nanoseconds>(duration), nanoseconds::zero());
  const seconds whole = duration_cast<seconds>(wait);
  const timespec timeout{static_cast<time_t>(whole.count()), static_cast<long>((wait - whole).count())};
  // Another signal cutting the wait short (EINTR) only makes the next sample early.
  return sigtimedwait(&stop_signals_, nullptr, &timeout) > 0;
}

}  // namespace Tavix::Cli
