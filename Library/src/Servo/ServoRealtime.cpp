#include "ServoRealtime.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <sstream>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace Tavix::HardwareAPI::Servo {
namespace {

constexpr int kCapIpcLock = 14;            // capability(7) number of CAP_IPC_LOCK
constexpr std::size_t kStackTouched = 256 * 1024;

// True when the process's effective capabilities hold CAP_IPC_LOCK, which lifts the
// locked-memory limit.
bool HasIpcLockCapability() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("CapEff:", 0) != 0) continue;
    std::istringstream fields(line.substr(7));
    uint64_t mask = 0;
    fields >> std::hex >> mask;
    return (mask >> kCapIpcLock) & 1u;
  }
  return false;
}

std::string Errno(int error) { return std::string(std::strerror(error)); }

// mlockall once per process; the answer is kept, as the lock is.
bool LockMemory(std::string& note) {
  static std::mutex mutex;
  static bool locked = false;
  const std::lock_guard<std::mutex> hold(mutex);
  if (locked) {
    note += "memory locked";
    return true;
  }
  rlimit limit{};
  const bool unlimited = getrlimit(RLIMIT_MEMLOCK, &limit) == 0 && limit.rlim_cur == RLIM_INFINITY;
  if (!unlimited && !HasIpcLockCapability()) {
    note += "memory not locked: the locked-memory limit is " +
            std::to_string(static_cast<unsigned long long>(limit.rlim_cur / 1024)) +
            " KiB and CAP_IPC_LOCK is missing (`ulimit -l unlimited`, or the capability, allows it)";
    return false;
  }
  if (mlockall(MCL_CURRENT | MCL_FUTURE) != 0) {
    note += "memory not locked: mlockall: " + Errno(errno);
    return false;
  }
  locked = true;
  note += "memory locked";
  return true;
}

// Touches the stack below this frame, so that the loop never faults it in mid-tick.
__attribute__((noinline)) void TouchStack() {
  unsigned char stretch[kStackTouched];
  for (std::size_t i = 0; i < kStackTouched; i += 4096) static_cast<volatile unsigned char*>(stretch)[i] = 0;
  // Keeps the compiler from dropping the stores.
  asm volatile("" : : "r"(stretch) : "memory");
}

}  // namespace

int CpuCount() noexcept {
  return static_cast<int>(std::clamp(sysconf(_SC_NPROCESSORS_CONF), 1L, static_cast<long>(CPU_SETSIZE)));
}

void PinToCpu(int cpu, std::string& note) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(static_cast<std::size_t>(cpu), &set);
  const int refused = pthread_setaffinity_np(pthread_self(), sizeof set, &set);
  if (!note.empty()) note += "; ";
  note += refused == 0 ? "pinned to CPU " + std::to_string(cpu)
                       : "not pinned to CPU " + std::to_string(cpu) + ": " + Errno(refused);
}

void NarrowTimerSlack() noexcept { prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); }

RealtimeOutcome EnterRealtime(int priority, bool lock_memory) {
  RealtimeOutcome outcome;
  sched_param parameters{};
  parameters.sched_priority = priority;
  const int refused = pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters);
  if (refused == 0) {
    outcome.scheduling = true;
    outcome.note = "SCHED_FIFO priority " + std::to_string(priority) + "; ";
  } else {
    outcome.note = "SCHED_FIFO not permitted (" + Errno(refused) +
                   "): running at normal priority (root, CAP_SYS_NICE or an RLIMIT_RTPRIO of " +
                   std::to_string(priority) + " allows it); ";
  }
  if (lock_memory) {
    outcome.memory_locked = LockMemory(outcome.note);
  } else {
    outcome.note += "memory not locked: not asked for";
  }
  TouchStack();
  return outcome;
}

}  // namespace Tavix::HardwareAPI::Servo
