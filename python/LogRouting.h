#pragma once

namespace Tavix::HardwareAPI::Python {

/// Hands the error log lines that threads without the interpreter lock made (a device
/// operation running with the lock released, a detection worker, the library's logging
/// thread with a servo loop's lines) to Python's logging, in the order they were made,
/// when routing is on. The module's delivery thread hands them over within milliseconds
/// anyway; this makes a call's own lines come out before it returns: if that thread (or
/// another) is delivering, it waits, with the lock released, until the lines queued so
/// far are out (for at most a second, should a handler wait on the caller). Needs the
/// lock; raises nothing. Call it where the caller holds no lock of the library's.
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
