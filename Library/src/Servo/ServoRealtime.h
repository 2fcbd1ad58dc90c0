#pragma once

#include <string>

namespace Tavix::HardwareAPI::Servo {

/// What the servo loop's thread got when it asked for real-time scheduling.
struct RealtimeOutcome {
  bool scheduling = false;     ///< SCHED_FIFO was granted
  bool memory_locked = false;  ///< the process's memory is locked
  std::string note;            ///< what was granted, and why anything was not
};

/// For the calling thread (the loop's): a timer slack of 1 ns, so that its sleeps end
/// when asked rather than up to 50 us later (the default for ordinary threads; real-time
/// threads have none). Allowed to any thread; a failure is ignored.
void NarrowTimerSlack() noexcept;

/// Asks, for the calling thread, for SCHED_FIFO at `priority`, then, if `lock_memory`,
/// locks the process's memory, present and future (mlockall), unless its locked-memory limit would make
/// later allocations fail (no CAP_IPC_LOCK and a finite RLIMIT_MEMLOCK: then it is left
/// unlocked). Memory stays locked for the rest of the process's life. Finally touches
/// a stretch of the thread's stack, so that its pages are there before the first tick.
/// Never throws; what was refused is in the outcome.
RealtimeOutcome EnterRealtime(int priority, bool lock_memory);

/// The CPUs the system has (configured, online or not), at least 1 and at most what a
/// CPU set holds.
int CpuCount() noexcept;

/// Pins the calling thread to `cpu`, and adds to `note` that it did, or why it could not
/// (the thread then runs where it ran before).
void PinToCpu(int cpu, std::string& note);

}  // namespace Tavix::HardwareAPI::Servo
