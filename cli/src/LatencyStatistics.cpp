#include "LatencyStatistics.h"

#include <algorithm>
#include <cmath>

namespace Tavix::Cli {
namespace {

// 99.9 has no exact binary form: 99.9 % of 1000 comes out a hair above 999, which must
// not round up to the next rank.
constexpr double kRankTolerance = 1e-9;

}  // namespace

double Percentile(const std::vector<double>& sorted_samples, double percent) {
  if (sorted_samples.empty()) return 0;
  const double share = percent / 100.0 * static_cast<double>(sorted_samples.size());
  const double rank = std::ceil(share - kRankTolerance);
  const std::size_t index = static_cast<std::size_t>(std::max(rank, 1.0)) - 1;
  return sorted_samples[std::min(index, sorted_samples.size() - 1)];
}

LatencySummary Summarize(std::vector<double> samples) {
  if (samples.empty()) return {};
  std::sort(samples.begin(), samples.end());
  LatencySummary summary;
  summary.min = samples.front();
  summary.p50 = Percentile(samples, 50);
  summary.p90 = Percentile(samples, 90);
  summary.p99 = Percentile(samples, 99);
  summary.p99_9 = Percentile(samples, 99.9);
  summary.max = samples.back();
  return summary;
}

}  // namespace Tavix::Cli
