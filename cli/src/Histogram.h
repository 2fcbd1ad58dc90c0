#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace Tavix::Cli {

/// One bar of a histogram: the samples from `low` up to `high`.
struct HistogramBin {
  double low = 0;
  double high = 0;
  std::size_t count = 0;
};

/// Bins `samples` (in any order) into `bin_count` bins of equal width from the minimum
/// to the 99th percentile, so that a few slow outliers do not squeeze the rest into one
/// bar, and one more bin for the samples above it, if any. Each sample lands in the
/// first bin whose range holds it. One bin when the samples up to the 99th percentile
/// are all equal; none for no samples.
std::vector<HistogramBin> MakeHistogram(std::vector<double> samples, std::size_t bin_count);

/// One line per bin: its range with one decimal and `unit`, a bar of '#' scaled so that
/// the fullest bin is `bar_width` long (a bin with samples shows at least one '#'),
/// then the count.
std::string HistogramText(const std::vector<HistogramBin>& bins, const std::string& unit,
                          std::size_t bar_width);

}  // namespace Tavix::Cli
