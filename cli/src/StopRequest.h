#pragma once

#include <chrono>
#include <csignal>

namespace Tavix::Cli {

/// Turns SIGINT and SIGTERM into a stop request that a sampling loop sees between two
/// samples. The two signals are blocked from construction on, for the rest of the
/// process, so an exchange in progress is never cut short; one that arrives is collected
/// by the next `WaitFor`. Construct it before any other thread starts.
class StopRequest {
 public:
  StopRequest();

  StopRequest(const StopRequest&) = delete;
  StopRequest& operator=(const StopRequest&) = delete;

  /// Waits up to `duration` (no wait when it is zero or less) and returns true if a stop
  /// signal arrived, during the wait or before it.
  bool WaitFor(std::chrono::steady_clock::duration duration) const;

 private:
  sigset_t stop_signals_;
};

}  // namespace Tavix::Cli
