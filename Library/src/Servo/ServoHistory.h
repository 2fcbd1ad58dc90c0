#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "Tavix/HardwareAPI/Servo/ServoState.h"

namespace Tavix::HardwareAPI::Servo {

/// The servo loop's last ticks: a ring that one thread (the loop's) appends to, one
/// record per tick, and any thread copies from while it does, without either waiting.
///
/// Every record gets the next number of a count that only grows. The writer announces
/// the number it is about to write (`begun_`), writes the record's words, then
/// publishes it (`written_`). A reader copies, then looks at `begun_`: a record whose
/// slot a later one may have started to overwrite meanwhile is dropped. The ring has
/// one slot more than it keeps, so that the latest record is never the one being
/// overwritten. All shared words are atomics: a record's words are stored with release and
/// loaded with acquire, so that a reader that sees one sees the announcement before it.
class ServoHistory {
 public:
  /// Keeps the last `size` records (at least 1). Allocates and zeroes the ring.
  explicit ServoHistory(std::size_t size);

  std::size_t Size() const noexcept { return size_; }

  /// Starts a new run: the records appended so far are no longer read. Not while the
  /// writer runs.
  void Restart() noexcept;

  /// Appends a record. One thread at a time; never blocks, never allocates.
  void Append(const ServoState& state) noexcept;

  /// The latest record of this run, if any. Never blocks; allocates nothing.
  std::optional<ServoState> Latest() const noexcept;

  /// The records of this run still kept, oldest first.
  std::vector<ServoState> Copy() const;

  /// The number the next record appended gets: a cursor that reads from then on.
  uint64_t Next() const noexcept { return written_.load(std::memory_order_acquire); }

  /// Appends to `out` up to `max` records from number `cursor` on (whatever run they
  /// belong to), oldest first, and moves `cursor` past them. Returns how many records
  /// from `cursor` on were overwritten before they could be copied: those are skipped.
  uint64_t ReadFrom(uint64_t& cursor, std::vector<ServoState>& out, std::size_t max) const;

 private:
  static constexpr std::size_t kWords = (sizeof(ServoState) + 7) / 8;

  void Read(uint64_t number, ServoState& state) const noexcept;

  const std::size_t size_;
  const std::size_t slots_;
  std::unique_ptr<std::atomic<uint64_t>[]> words_;
  std::atomic<uint64_t> begun_{0};    // numbers below it have been started
  std::atomic<uint64_t> written_{0};  // numbers below it are complete
  std::atomic<uint64_t> run_start_{0};
};

}  // namespace Tavix::HardwareAPI::Servo
