#pragma once

#include <csignal>

namespace Tavix::Simulator {

/// Turns SIGINT, SIGTERM and SIGHUP into a stop request that a poll loop cannot miss: the
/// signals stay blocked except while the loop waits in ppoll(2) with `WaitMask()`, so
/// one arriving between a check of `Requested()` and the wait still ends the wait.
/// One instance per process.
class StopSignals {
 public:
  StopSignals();

  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  bool Requested() const;
  const sigset_t* WaitMask() const { return &wait_mask_; }

 private:
  sigset_t wait_mask_;
};

}  // namespace Tavix::Simulator
