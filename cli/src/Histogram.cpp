#include "Histogram.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "LatencyStatistics.h"

namespace Tavix::Cli {
namespace {

constexpr double kMainPercentile = 99;

// Equal bins over [low, high]; one bin when the range is empty.
std::vector<HistogramBin> EqualBins(double low, double high, std::size_t bin_count) {
  if (!(high > low) || bin_count < 2) return {{low, high, 0}};
  const double width = (high - low) / static_cast<double>(bin_count);
  std::vector<HistogramBin> bins;
  for (std::size_t i = 0; i < bin_count; ++i) {
    bins.push_back({low + width * static_cast<double>(i), low + width * static_cast<double>(i + 1), 0});
  }
  bins.back().high = high;  // no rounding may leave the upper end out
  return bins;
}

void Count(std::vector<HistogramBin>& bins, double sample) {
  for (HistogramBin& bin : bins) {
    if (sample <= bin.high) {
      ++bin.count;
      return;
    }
  }
}

std::size_t BarLength(std::size_t count, std::size_t fullest, std::size_t bar_width) {
  if (count == 0) return 0;
  const double scaled = std::round(static_cast<double>(bar_width) * static_cast<double>(count) / fullest);
  return std::max<std::size_t>(1, static_cast<std::size_t>(scaled));
}

}  // namespace

std::vector<HistogramBin> MakeHistogram(std::vector<double> samples, std::size_t bin_count) {
  if (samples.empty()) return {};
  std::sort(samples.begin(), samples.end());
  const double main_end = Percentile(samples, kMainPercentile);
  std::vector<HistogramBin> bins = EqualBins(samples.front(), main_end, bin_count);
  if (samples.back() > main_end) bins.push_back({main_end, samples.back(), 0});
  for (const double sample : samples) Count(bins, sample);
  return bins;
}

std::string HistogramText(const std::vector<HistogramBin>& bins, const std::string& unit,
                          std::size_t bar_width) {
  std::size_t fullest = 0;
  for (const HistogramBin& bin : bins) fullest = std::max(fullest, bin.count);
  std::string text;
  char range[96];
  for (const HistogramBin& bin : bins) {
    std::snprintf(range, sizeof range, "%10.1f - %10.1f %s  ", bin.low, bin.high, unit.c_str());
    std::string bar(BarLength(bin.count, fullest, bar_width), '#');
    bar.resize(bar_width, ' ');
    text += range + bar + "  " + std::to_string(bin.count) + "\n";
  }
  return text;
}

}  // namespace Tavix::Cli
