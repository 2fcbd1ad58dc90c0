#include "StopSignals.h"

#include <pthread.h>

#include <stdexcept>

#include "Durations.h"

namespace Tavix::CommandLine {
namespace {

// The first stop signal that arrived, 0 before one has: set by the handler (caught) or
// by WaitFor (collected).
volatile std::sig_atomic_t received_signal = 0;

void RequestStop(int number) {
  if (received_signal == 0) received_signal = number;
}

struct NamedSignal {
  int number;
  const char* name;
};

// The terminating signals with fixed numbers; the real-time ones follow at run time.
const NamedSignal kNamedSignals[] = {
    {SIGHUP, "SIGHUP"},       {SIGINT, "SIGINT"},       {SIGQUIT, "SIGQUIT"},     {SIGUSR1, "SIGUSR1"},
    {SIGUSR2, "SIGUSR2"},     {SIGPIPE, "SIGPIPE"},     {SIGALRM, "SIGALRM"},     {SIGTERM, "SIGTERM"},
#ifdef SIGSTKFLT
    {SIGSTKFLT, "SIGSTKFLT"},
#endif
    {SIGXCPU, "SIGXCPU"},     {SIGXFSZ, "SIGXFSZ"},     {SIGVTALRM, "SIGVTALRM"}, {SIGPROF, "SIGPROF"},
#ifdef SIGIO
    {SIGIO, "SIGIO"},
#elif defined(SIGPOLL)
    {SIGPOLL, "SIGPOLL"},
#endif
#ifdef SIGPWR
    {SIGPWR, "SIGPWR"},
#endif
};

}  // namespace

const std::vector<int>& TerminatingSignals() {
  static const std::vector<int> signals = [] {
    std::vector<int> numbers;
    for (const NamedSignal& signal : kNamedSignals) numbers.push_back(signal.number);
#if defined(SIGRTMIN) && defined(SIGRTMAX)
    for (int number = SIGRTMIN; number <= SIGRTMAX; ++number) numbers.push_back(number);
#endif
    return numbers;
  }();
  return signals;
}

std::string SignalName(int number) {
  for (const NamedSignal& signal : kNamedSignals) {
    if (signal.number == number) return signal.name;
  }
#if defined(SIGRTMIN) && defined(SIGRTMAX)
  if (number == SIGRTMIN) return "SIGRTMIN";
  if (number > SIGRTMIN && number <= SIGRTMAX) return "SIGRTMIN+" + std::to_string(number - SIGRTMIN);
#endif
  return "signal " + std::to_string(number);
}

StopSignals::StopSignals(std::initializer_list<int> normal_stops, Delivery delivery) {
  sigemptyset(&stop_signals_);
  sigemptyset(&normal_stops_);
  for (const int number : TerminatingSignals()) sigaddset(&stop_signals_, number);
  for (const int number : normal_stops) sigaddset(&normal_stops_, number);
  pthread_sigmask(SIG_BLOCK, &stop_signals_, &wait_mask_);
  for (const int number : TerminatingSignals()) sigdelset(&wait_mask_, number);
  if (delivery != Delivery::Caught) return;

  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigfillset(&action.sa_mask);  // one handler at a time: the first signal is the one kept
  for (const int number : TerminatingSignals()) sigaction(number, &action, nullptr);
}

bool StopSignals::WaitFor(std::chrono::steady_clock::duration duration) const {
  if (Requested()) return true;
  const timespec timeout = ToTimespec(duration);
  // Another signal cutting the wait short (EINTR) only ends it early.
  const int number = sigtimedwait(&stop_signals_, nullptr, &timeout);
  if (number <= 0) return false;
  RequestStop(number);
  return true;
}

bool StopSignals::Requested() const { return received_signal != 0; }

int StopSignals::Received() const { return received_signal; }

void StopSignals::ThrowUnlessNormal() const {
  const int number = Received();
  if (number == 0 || sigismember(&normal_stops_, number) == 1) return;
  throw std::runtime_error("stopped by " + SignalName(number));
}

}  // namespace Tavix::CommandLine
