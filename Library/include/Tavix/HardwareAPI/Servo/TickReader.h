#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "Tavix/HardwareAPI/Servo/ServoState.h"

namespace Tavix::HardwareAPI::Servo {

class ServoHistory;
class ServoLoop;

/// A cursor of its own on a servo loop's ticks, for a thread other than the loop's (a
/// recorder) to take every tick the loop records, across stops and starts. The loop
/// keeps its last `HistorySize()` ticks: a reader that falls further behind loses the
/// oldest, and counts them (`Lost`), never hiding a gap. Reading never holds up the loop.
/// One thread at a time per reader; the loop must outlive it.
class TickReader {
 public:
  /// Reads the ticks that `loop` records from now on.
  explicit TickReader(const ServoLoop& loop) noexcept;

  /// Appends to `out` the ticks recorded since the last call (at most `max`), oldest
  /// first; returns how many it appended.
  std::size_t Read(std::vector<ServoState>& out, std::size_t max = std::numeric_limits<std::size_t>::max());

  /// The ticks overwritten before this reader could take them, since it was made.
  uint64_t Lost() const noexcept { return lost_; }

 private:
  const ServoHistory& history_;
  uint64_t cursor_;
  uint64_t lost_ = 0;
};

}  // namespace Tavix::HardwareAPI::Servo
