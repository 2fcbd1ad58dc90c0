#pragma once

#include <chrono>
#include <csignal>
#include <initializer_list>

namespace Tavix::CommandLine {

/// Turns the signals that ask a program to stop into a stop request. Which signals is the
/// program's choice (tavix: SIGINT and SIGTERM; tavix-sim: SIGHUP too). They are blocked
/// from construction on, for the rest of the process, so that no work in progress is cut
/// short by one, and reach the program in one of two ways (`Delivery`):
///   - collected: a signal stays pending until `WaitFor` takes it, so a sampling loop sees
///     it between two samples; the signals' dispositions are left as they were;
///   - caught: a handler notes a signal whenever one gets in, which is only while a poll
///     loop waits in ppoll(2) with `WaitMask()`; one arriving between a check of
///     `Requested()` and the wait still ends the wait.
/// One instance per process, constructed before any other thread starts.
class StopSignals {
 public:
  enum class Delivery { Collected, Caught };

  StopSignals(std::initializer_list<int> signals, Delivery delivery);

  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  /// Waits up to `duration` (no wait when it is zero or less) and returns true if a stop
  /// signal arrived, during the wait or before it.
  bool WaitFor(std::chrono::steady_clock::duration duration) const;

  /// Whether a stop signal was caught (always false when they are collected).
  bool Requested() const;
  /// The thread's signal mask without the stop signals, for ppoll(2).
  const sigset_t* WaitMask() const { return &wait_mask_; }

 private:
  sigset_t stop_signals_;
  sigset_t wait_mask_;
};

}  // namespace Tavix::CommandLine
