#pragma once

#include <algorithm>
#include <chrono>
#include <ctime>

namespace Tavix::CommandLine {

/// `duration` as a timespec, for the programs' waits that take one (ppoll(2),
/// sigtimedwait(2)); a duration below zero is zero.
inline timespec ToTimespec(std::chrono::nanoseconds duration) {
  const std::chrono::nanoseconds wait = std::max(duration, std::chrono::nanoseconds::zero());
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
  return timespec{static_cast<time_t>(seconds.count()), static_cast<long>((wait - seconds).count())};
}

}  // namespace Tavix::CommandLine
