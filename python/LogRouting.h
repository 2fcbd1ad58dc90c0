#pragma once

namespace Tavix::HardwareAPI::Python {

/// Hands the error log lines that threads without the interpreter lock made (a device
/// operation running with the lock released, a detection worker) to Python's logging,
/// in the order they were made, when routing is on. Needs the lock; raises nothing.
void DeliverQueuedLogLines() noexcept;

/// Calls `DeliverQueuedLogLines` when it goes out of scope: every bound call that runs
/// library code puts one around it, so that the lines of a call come out before it
/// returns (or raises). Usable as a pybind11 call guard.
class QueuedLogLines {
 public:
  QueuedLogLines() = default;
  ~QueuedLogLines() { DeliverQueuedLogLines(); }
  QueuedLogLines(const QueuedLogLines&) = delete;
  QueuedLogLines& operator=(const QueuedLogLines&) = delete;
};

}  // namespace Tavix::HardwareAPI::Python
