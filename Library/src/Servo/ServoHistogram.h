#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "Tavix/HardwareAPI/Servo/ServoStats.h"

namespace Tavix::HardwareAPI::Servo {

/// A distribution of durations that one thread (the servo loop's) records into, one
/// value per tick, and any thread summarizes while it does: fixed buckets of 1 us below
/// 1 ms, 10 us below 10 ms and 1 ms below 1 s, and one beyond, so that recording costs
/// a few instructions and allocates nothing. Counts are relaxed atomics: a summary taken
/// while values come in may miss the latest, never reads a torn count.
class ServoHistogram {
 public:
  ServoHistogram();

  /// Forgets every value. Not while the recording thread runs.
  void Reset() noexcept;

  /// Adds a duration in nanoseconds (below 0 counts as 0). One thread at a time.
  void Record(int64_t nanoseconds) noexcept;

  /// Nearest-rank percentiles in microseconds, each the upper edge of its bucket but
  /// never above the largest value, which is exact. All zero when empty.
  ServoStats::Percentiles Summary() const;

  /// The bucket a duration falls in, and the upper edge of a bucket in microseconds
  /// (the last bucket has none: infinity).
  static std::size_t Bucket(int64_t nanoseconds) noexcept;
  static double UpperEdgeUs(std::size_t bucket) noexcept;
  static constexpr std::size_t kBuckets = 1000 + 900 + 990 + 1;

 private:
  std::unique_ptr<std::atomic<uint64_t>[]> counts_;
  std::atomic<int64_t> max_ns_{0};
};

}  // namespace Tavix::HardwareAPI::Servo
