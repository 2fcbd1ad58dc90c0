#include "Measurement.h"

#include <algorithm>

namespace Tavix::Bench {
namespace {

void Append(Run& total, const Run& part) {
  total.latencies_us.insert(total.latencies_us.end(), part.latencies_us.begin(), part.latencies_us.end());
  total.wall_seconds += part.wall_seconds;
  total.cpu_seconds += part.cpu_seconds;
  total.allocations += part.allocations;
}

}  // namespace

std::vector<Run> MeasureSideBySide(const std::vector<Case>& cases, int warm_up, int count, int per_turn,
                                   AllocationCount allocations_so_far) {
  for (const Case& measured : cases) Repeat(warm_up, measured.exchange);
  std::vector<Run> runs(cases.size());
  for (Run& run : runs) run.latencies_us.reserve(static_cast<std::size_t>(count));
  for (int done = 0; done < count; done += per_turn) {
    const int turn = std::min(per_turn, count - done);
    for (std::size_t i = 0; i < cases.size(); ++i) {
      Append(runs[i], Repeat(turn, cases[i].exchange, allocations_so_far));
    }
  }
  return runs;
}

}  // namespace Tavix::Bench
