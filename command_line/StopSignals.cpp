#include "StopSignals.h"

#include <pthread.h>

#include "Durations.h"

namespace Tavix::CommandLine {
namespace {

volatile std::sig_atomic_t stop_requested = 0;

void RequestStop(int) { stop_requested = 1; }

}  // namespace

StopSignals::StopSignals(std::initializer_list<int> signals, Delivery delivery) {
  sigemptyset(&stop_signals_);
  for (const int number : signals) sigaddset(&stop_signals_, number);
  pthread_sigmask(SIG_BLOCK, &stop_signals_, &wait_mask_);
  for (const int number : signals) sigdelset(&wait_mask_, number);
  if (delivery != Delivery::Caught) return;

  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigemptyset(&action.sa_mask);
  for (const int number : signals) sigaction(number, &action, nullptr);
}

bool StopSignals::WaitFor(std::chrono::steady_clock::duration duration) const {
  if (Requested()) return true;
  const timespec timeout = ToTimespec(duration);
  // Another signal cutting the wait short (EINTR) only ends it early.
  return sigtimedwait(&stop_signals_, nullptr, &timeout) > 0;
}

bool StopSignals::Requested() const { return stop_requested != 0; }

}  // namespace Tavix::CommandLine
