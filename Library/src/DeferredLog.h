#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace Tavix::HardwareAPI::DeferredLog {

/// The library's logging thread, and the queue that feeds it: how a thread that must
/// never wait (a servo loop's) gets a line written. Such a thread posts the line to a
/// bounded queue of fixed-size slots, allocated once, with a compare-and-swap and a
/// copy; the logging thread takes the lines out in order and hands each to the function
/// posted with it (`Deliver`), which may block as long as it likes (standard error held
/// by a reader that stopped reading, a sink that takes a lock). A line that finds the
/// queue full is counted as dropped, never waited for.
///
/// Every part of the library that needs work done off a real-time thread posts it here,
/// so that there is one such thread and one queue in the process.

/// What the logging thread does with a line: write it out. Called on the logging thread
/// only, one line at a time, in the order posted.
using Deliver = void (*)(const char* line);

/// The longest line kept, terminating zero included; a longer one is cut.
constexpr std::size_t kLineBytes = 512;
/// How many lines can wait at once.
constexpr std::size_t kQueueLines = 256;

/// Marks the calling thread as real-time while it lives: from then on its log lines go
/// through the queue (`OnRealtimeThread`). `dropped`, if not null, is increased (relaxed)
/// for each line of this thread that found the queue full; it must outlive the mark.
/// The thread's thread-local storage is touched here, so that the first line it logs
/// later does not make the C library allocate it.
class RealtimeThread {
 public:
  explicit RealtimeThread(std::atomic<uint64_t>* dropped = nullptr) noexcept;
  ~RealtimeThread();

  RealtimeThread(const RealtimeThread&) = delete;
  RealtimeThread& operator=(const RealtimeThread&) = delete;
};

/// True on a thread marked by a live `RealtimeThread`.
bool OnRealtimeThread() noexcept;

/// Makes the queue and starts the logging thread, unless that was done; safe from any
/// thread, at once. Call it before a real-time thread starts (a servo loop's `Start`
/// does): a line posted before it is dropped. The thread is detached and never ends,
/// so it holds up no exit; it runs with every signal blocked. Throws std::system_error
/// when the thread cannot be started (and the next call tries again).
void Start();

/// Queues `line` (cut to kLineBytes - 1 bytes) for `deliver` on the logging thread.
/// Never waits and allocates nothing: returns false, and counts the line as dropped,
/// when the queue is full or not made yet. Any thread may post, several at once.
bool Post(Deliver deliver, const char* line) noexcept;

/// Lines dropped since the process started, by every thread.
uint64_t DroppedLines() noexcept;

/// Waits until every line posted before the call has been delivered, for at most
/// `timeout`; false if some had not. For tests and orderly shutdowns: it polls.
bool WaitUntilDelivered(std::chrono::nanoseconds timeout);

}  // namespace Tavix::HardwareAPI::DeferredLog
