#include "ServoHistory.h"

#include <algorithm>
#include <cstring>

namespace Tavix::HardwareAPI::Servo {

ServoHistory::ServoHistory(std::size_t size)
    : size_(std::max<std::size_t>(size, 1)),
      slots_(size_ + 1),
      words_(new std::atomic<uint64_t>[slots_ * kWords]()) {}

void ServoHistory::Restart() noexcept {
  run_start_.store(written_.load(std::memory_order_relaxed), std::memory_order_release);
}

void ServoHistory::Append(const ServoState& state) noexcept {
  uint64_t words[kWords] = {};
  std::memcpy(words, &state, sizeof state);
  const uint64_t number = written_.load(std::memory_order_relaxed);  // the only writer
  begun_.store(number + 1, std::memory_order_relaxed);
  // Each word is stored with release, so that a reader that sees it sees `begun_` too.
  std::atomic<uint64_t>* slot = &words_[(number % slots_) * kWords];
  for (std::size_t i = 0; i < kWords; ++i) slot[i].store(words[i], std::memory_order_release);
  written_.store(number + 1, std::memory_order_release);
}

void ServoHistory::Read(uint64_t number, ServoState& state) const noexcept {
  uint64_t words[kWords];
  const std::atomic<uint64_t>* slot = &words_[(number % slots_) * kWords];
  for (std::size_t i = 0; i < kWords; ++i) words[i] = slot[i].load(std::memory_order_acquire);
  std::memcpy(static_cast<void*>(&state), words, sizeof state);
}

std::optional<ServoState> ServoHistory::Latest() const noexcept {
  for (;;) {
    const uint64_t written = written_.load(std::memory_order_acquire);
    if (written <= run_start_.load(std::memory_order_acquire)) return std::nullopt;
    ServoState state;
    Read(written - 1, state);
    // The slot of record n is next written as record n + slots_.
    if (begun_.load(std::memory_order_relaxed) <= written - 1 + slots_) return state;
  }
}

std::vector<ServoState> ServoHistory::Copy() const {
  const uint64_t written = written_.load(std::memory_order_acquire);
  const uint64_t run_start = run_start_.load(std::memory_order_acquire);
  uint64_t first = std::max<uint64_t>(run_start, written > size_ ? written - size_ : 0);
  if (written <= first) return {};
  std::vector<ServoState> states(static_cast<std::size_t>(written - first));
  for (uint64_t number = first; number < written; ++number) Read(number, states[number - first]);
  const uint64_t begun = begun_.load(std::memory_order_relaxed);
  // Records below begun - slots_ may have been overwritten while they were copied.
  if (begun > slots_ && begun - slots_ > first) {
    const uint64_t torn = std::min<uint64_t>(begun - slots_, written) - first;
    states.erase(states.begin(), states.begin() + static_cast<std::ptrdiff_t>(torn));
  }
  return states;
}

uint64_t ServoHistory::ReadFrom(uint64_t& cursor, std::vector<ServoState>& out, std::size_t max) const {
  const uint64_t written = written_.load(std::memory_order_acquire);
  const uint64_t oldest = written > size_ ? written - size_ : 0;
  uint64_t lost = 0;
  if (cursor < oldest) {
    lost = oldest - cursor;
    cursor = oldest;
  }
  const uint64_t end = cursor + std::min<uint64_t>(written - cursor, max);
  const std::size_t first = out.size();
  out.resize(first + static_cast<std::size_t>(end - cursor));
  for (uint64_t number = cursor; number < end; ++number) Read(number, out[first + (number - cursor)]);
  // As in Copy: records below begun - slots_ may have been overwritten while copied.
  const uint64_t begun = begun_.load(std::memory_order_relaxed);
  if (begun > slots_ && begun - slots_ > cursor) {
    const uint64_t torn = std::min<uint64_t>(begun - slots_, end) - cursor;
    const auto from = out.begin() + static_cast<std::ptrdiff_t>(first);
    out.erase(from, from + static_cast<std::ptrdiff_t>(torn));
    lost += torn;
  }
  cursor = end;
  return lost;
}

}  // namespace Tavix::HardwareAPI::Servo
