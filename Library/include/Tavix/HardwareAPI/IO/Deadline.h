#pragma once

#include <chrono>
#include <cmath>

namespace Tavix::HardwareAPI::IO {

/// A point in time on the monotonic clock by which a wait must end, or no end at all.
/// Every wait of the library measures against one of these, so a step of the wall
/// clock never stretches or cuts a wait.
class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  /// A deadline that never passes.
  static Deadline Never() noexcept { return Deadline(); }

  /// A deadline `budget` from now.
  static Deadline In(Clock::duration budget) noexcept { return Deadline(Clock::now() + budget); }

  /// A deadline `seconds` from now; 0 or less (or NaN) means no limit. Fractions of a
  /// second are honoured. Budgets beyond a century are treated as no limit.
  static Deadline InSeconds(double seconds) noexcept {
    constexpr double kCentury = 100.0 * 365 * 24 * 3600;
    if (!(seconds > 0.0) || seconds > kCentury) return Never();
    return In(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
  }

  bool IsNever() const noexcept { return never_; }

  /// True once the deadline lies in the past.
  bool Expired() const noexcept { return !never_ && Clock::now() > at_; }

  /// Time left before the deadline, zero once it has passed, the largest duration for Never.
  Clock::duration Remaining() const noexcept {
    if (never_) return Clock::duration::max();
    const auto left = at_ - Clock::now();
    return left > Clock::duration::zero() ? left : Clock::duration::zero();
  }

  /// Time left as a poll(2) time-out: -1 for Never, otherwise milliseconds rounded up,
  /// so a poll never wakes before the deadline.
  int PollTimeoutMs() const noexcept {
    if (never_) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(Remaining()).count();
    constexpr long long kMaxPoll = 1 << 30;
    return static_cast<int>(left < kMaxPoll ? left : kMaxPoll);
  }

 private:
  Deadline() noexcept = default;
  explicit Deadline(Clock::time_point at) noexcept : at_(at), never_(false) {}

  Clock::time_point at_{};
  bool never_ = true;
};

}  // namespace Tavix::HardwareAPI::IO
