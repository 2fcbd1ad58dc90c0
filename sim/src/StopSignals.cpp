#include "StopSignals.h"

#include <pthread.h>

namespace Tavix::Simulator {
namespace {

// SIGHUP too: a simulator started from a terminal that is closed must still hang up its
// port and remove its link rather than die and leave the link dangling.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

volatile std::sig_atomic_t stop_requested = 0;

void RequestStop(int) { stop_requested = 1; }

}  // namespace

StopSignals::StopSignals() {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  for (const int number : kStopSignals) sigaddset(&stop_signals, number);
  pthread_sigmask(SIG_BLOCK, &stop_signals, &wait_mask_);

  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigemptyset(&action.sa_mask);
  for (const int number : kStopSignals) {
    sigdelset(&wait_mask_, number);
    sigaction(number, &action, nullptr);
  }
}

bool StopSignals::Requested() const { return stop_requested != 0; }

}  // namespace Tavix::Simulator
