#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "Timing.h"

namespace Tavix::Bench {

using Testing::ThreadCpuSeconds;

/// Exchanges measured per C++ case, after the warm-up exchanges.
constexpr int kCppExchanges = 20000;
constexpr int kWarmUpExchanges = 1000;
/// Exchanges a case makes before the next case measured side by side takes its turn:
/// short turns, so that every case meets the same changes of the machine's load.
constexpr int kExchangesPerTurn = 20;

/// What a run of repeated exchanges took.
struct Run {
  std::vector<double> latencies_us;  ///< one per exchange, in order
  double wall_seconds = 0;           ///< for the whole run
  double cpu_seconds = 0;            ///< of the calling thread, for the whole run
  long allocations = 0;              ///< heap allocations during the run, where counted
};

/// A count of heap allocations made so far; `NoAllocationCount` where none is kept.
using AllocationCount = long (*)();
inline long NoAllocationCount() { return 0; }

/// Calls `exchange` `count` times, timing each call, with its wall and CPU time and the
/// allocations counted by `allocations_so_far`. Allocates nothing itself while it
/// measures.
template <typename Exchange>
Run Repeat(int count, Exchange&& exchange, AllocationCount allocations_so_far = NoAllocationCount) {
  using Clock = std::chrono::steady_clock;
  Run run;
  run.latencies_us.reserve(static_cast<std::size_t>(count));
  const long allocations_start = allocations_so_far();
  const double cpu_start = ThreadCpuSeconds();
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < count; ++i) {
    const Clock::time_point before = Clock::now();
    exchange();
    run.latencies_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - before).count());
  }
  run.wall_seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.cpu_seconds = ThreadCpuSeconds() - cpu_start;
  run.allocations = allocations_so_far() - allocations_start;
  return run;
}

/// One kind of exchange to measure.
struct Case {
  std::string name;
  std::function<void()> exchange;
};

/// Measures `cases` side by side: warms each up with `warm_up` exchanges, then lets
/// them take turns, `per_turn` exchanges at a time, until each has made `count`, so
/// that a change in the machine's load while they run touches every case alike.
/// Returns one run per case, in the order of `cases`.
std::vector<Run> MeasureSideBySide(const std::vector<Case>& cases, int warm_up, int count, int per_turn,
                                   AllocationCount allocations_so_far = NoAllocationCount);

}  // namespace Tavix::Bench
