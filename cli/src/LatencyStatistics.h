#pragma once

#include <vector>

namespace Tavix::Cli {

/// How a set of round-trip times spreads, in the unit of the samples.
struct LatencySummary {
  double min = 0;
  double p50 = 0;
  double p90 = 0;
  double p99 = 0;
  double p99_9 = 0;
  double max = 0;
};

/// The value below or at which `percent` of the sorted `samples` lie: the nearest-rank
/// percentile, always one of the samples. 0 for no samples.
double Percentile(const std::vector<double>& sorted_samples, double percent);

/// Minimum, percentiles and maximum of `samples`, in any order; all 0 for none.
LatencySummary Summarize(std::vector<double> samples);

}  // namespace Tavix::Cli
