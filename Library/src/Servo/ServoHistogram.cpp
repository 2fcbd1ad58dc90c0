#include "ServoHistogram.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace Tavix::HardwareAPI::Servo {
namespace {

// Bucket boundaries, in microseconds.
constexpr int64_t kFineEnd = 1000;       // 1 us buckets below
constexpr int64_t kMediumEnd = 10000;    // 10 us buckets below
constexpr int64_t kCoarseEnd = 1000000;  // 1 ms buckets below; one bucket beyond
constexpr std::size_t kFineBuckets = 1000;
constexpr std::size_t kMediumBuckets = 900;
constexpr std::size_t kCoarseBuckets = 990;

}  // namespace

ServoHistogram::ServoHistogram() : counts_(new std::atomic<uint64_t>[kBuckets]()) {}

void ServoHistogram::Reset() noexcept {
  for (std::size_t i = 0; i < kBuckets; ++i) counts_[i].store(0, std::memory_order_relaxed);
  max_ns_.store(0, std::memory_order_relaxed);
}

std::size_t ServoHistogram::Bucket(int64_t nanoseconds) noexcept {
  const int64_t us = std::max<int64_t>(nanoseconds, 0) / 1000;
  if (us < kFineEnd) return static_cast<std::size_t>(us);
  if (us < kMediumEnd) return kFineBuckets + static_cast<std::size_t>((us - kFineEnd) / 10);
  if (us < kCoarseEnd) return kFineBuckets + kMediumBuckets + static_cast<std::size_t>((us - kMediumEnd) / 1000);
  return kBuckets - 1;
}

double ServoHistogram::UpperEdgeUs(std::size_t bucket) noexcept {
  if (bucket < kFineBuckets) return static_cast<double>(bucket + 1);
  bucket -= kFineBuckets;
  if (bucket < kMediumBuckets) return static_cast<double>(kFineEnd + 10 * static_cast<int64_t>(bucket + 1));
  bucket -= kMediumBuckets;
  if (bucket < kCoarseBuckets) return static_cast<double>(kMediumEnd + 1000 * static_cast<int64_t>(bucket + 1));
  return std::numeric_limits<double>::infinity();
}

// One writer: a plain load and store, no read-modify-write, is enough.
void ServoHistogram::Record(int64_t nanoseconds) noexcept {
  std::atomic<uint64_t>& count = counts_[Bucket(nanoseconds)];
  count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  if (nanoseconds > max_ns_.load(std::memory_order_relaxed)) max_ns_.store(nanoseconds, std::memory_order_relaxed);
}

ServoStats::Percentiles ServoHistogram::Summary() const {
  std::vector<uint64_t> counts(kBuckets);
  uint64_t total = 0;
  for (std::size_t i = 0; i < kBuckets; ++i) {
    counts[i] = counts_[i].load(std::memory_order_relaxed);
    total += counts[i];
  }
  ServoStats::Percentiles summary;
  if (total == 0) return summary;
  summary.max = static_cast<double>(max_ns_.load(std::memory_order_relaxed)) / 1000.0;
  const auto percentile = [&](double fraction) {
    const auto rank = std::max<uint64_t>(1, static_cast<uint64_t>(std::ceil(fraction * static_cast<double>(total))));
    uint64_t seen = 0;
    for (std::size_t i = 0; i < kBuckets; ++i) {
      seen += counts[i];
      if (seen >= rank) return std::min(UpperEdgeUs(i), summary.max);
    }
    return summary.max;
  };
  summary.p50 = percentile(0.50);
  summary.p99 = percentile(0.99);
  summary.p999 = percentile(0.999);
  return summary;
}

}  // namespace Tavix::HardwareAPI::Servo
