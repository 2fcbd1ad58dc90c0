#pragma once

#include <chrono>
#include <csignal>
#include <initializer_list>
#include <string>
#include <vector>

namespace Tavix::CommandLine {

/// The signals that end a process by default and that a program can catch: SIGHUP,
/// SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGSTKFLT, SIGXCPU,
/// SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO (SIGPOLL), SIGPWR and the real-time signals,
/// those of them the platform defines. Left out: the faults a program cannot go on
/// after (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS) and SIGABRT, which abort(3)
/// raises; those that stop rather than end (SIGTSTP, SIGTTIN, SIGTTOU); and SIGKILL and
/// SIGSTOP, which cannot be caught.
const std::vector<int>& TerminatingSignals();

/// Turns every signal of `TerminatingSignals()` into a stop request, so that each of
/// them ends the program through the same clean path: the work under way is finished,
/// its results reported, its resources (a port, a link) released. SIGPIPE too: a write
/// to a closed pipe (say, stdout piped into `head`) then fails with EPIPE instead of
/// killing the program, and the pending SIGPIPE stops it like any other.
///
/// The signals are blocked from construction on, for the rest of the process, so that no
/// work in progress is cut short by one, and reach the program in one of two ways
/// (`Delivery`):
///   - collected: a signal stays pending until `WaitFor` takes it, so a sampling loop sees
///     it between two samples; the signals' dispositions are left as they were;
///   - caught: a handler notes a signal whenever one gets in, which is only while a poll
///     loop waits in ppoll(2) with `WaitMask()`; one arriving between a check of
///     `Requested()` and the wait still ends the wait.
/// The program names its normal stops (tavix: SIGINT and SIGTERM; tavix-sim: SIGHUP
/// too); a stop by any other signal is not a normal end, which `ThrowUnlessNormal`
/// reports. One instance per process, constructed before any other thread starts.
class StopSignals {
 public:
  enum class Delivery { Collected, Caught };

  StopSignals(std::initializer_list<int> normal_stops, Delivery delivery);

  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  /// Waits up to `duration` (no wait when it is zero or less) and returns true if a stop
  /// signal arrived, during the wait or before it.
  bool WaitFor(std::chrono::steady_clock::duration duration) const;

  /// Whether a stop signal has arrived: caught, or taken by `WaitFor`.
  bool Requested() const;
  /// The thread's signal mask without the stop signals, for ppoll(2).
  const sigset_t* WaitMask() const { return &wait_mask_; }

  /// The first stop signal that arrived; 0 while none has.
  int Received() const;
  /// Throws std::runtime_error("stopped by <signal name>") when the first stop signal
  /// is not one of the normal stops, so that the program ends with status 1 and says why.
  void ThrowUnlessNormal() const;

 private:
  sigset_t stop_signals_;
  sigset_t normal_stops_;
  sigset_t wait_mask_;
};

/// "SIGQUIT", "SIGRTMIN+3", ...: the name of a signal of `TerminatingSignals()`;
/// "signal <number>" for another.
std::string SignalName(int number);

}  // namespace Tavix::CommandLine
