#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <type_traits>

namespace Tavix::HardwareAPI::Servo {

/// A value of plain data (an effect's parameters) that any thread may change while a
/// servo loop reads it every tick, where the reader never waits for a writer.
///
/// The value is kept twice, each copy behind a sequence counter (a seqlock): a writer
/// rewrites one copy and then the other, so while it is busy with one (or is preempted
/// there), the other holds a whole value, old or new, and `Load` takes it. Writers queue
/// on a mutex that the reader never touches. Every shared word is an atomic (no data
/// race), stored with release and loaded with acquire, so that a reader that sees part
/// of a change also sees the sequence mark the change began with.
template <typename T>
class ParameterBlock {
  static_assert(std::is_trivially_copyable_v<T>, "a parameter block holds plain data");

 public:
  explicit ParameterBlock(const T& initial) noexcept : value_(initial) {
    Publish(copies_[0], initial);
    Publish(copies_[1], initial);
  }

  ParameterBlock(const ParameterBlock&) = delete;
  ParameterBlock& operator=(const ParameterBlock&) = delete;

  /// A whole value, as last stored or as stored before (never a mix of two), unless
  /// writers keep both copies busy through every one of `kAttempts` tries, which only a
  /// writer storing without pause could: then the last words read. Never blocks,
  /// never allocates; any thread.
  T Load() const noexcept {
    Words words{};
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
      if (TryRead(copies_[attempt & 1], words)) break;
    }
    T value;
    std::memcpy(static_cast<void*>(&value), words.data(), sizeof(T));
    return value;
  }

  /// Replaces the value. Waits only for other writers.
  void Store(const T& value) noexcept {
    const std::lock_guard<std::mutex> hold(writer_);
    value_ = value;
    Publish(copies_[0], value);
    Publish(copies_[1], value);
  }

  /// Changes part of the value: `change` gets the current value to modify, with other
  /// writers held off, so that two threads changing different parts lose neither.
  template <typename Change>
  void Update(Change&& change) {
    const std::lock_guard<std::mutex> hold(writer_);
    T value = value_;
    change(value);
    value_ = value;
    Publish(copies_[0], value);
    Publish(copies_[1], value);
  }

 private:
  static constexpr std::size_t kWords = (sizeof(T) + sizeof(uint64_t) - 1) / sizeof(uint64_t);
  static constexpr int kAttempts = 64;
  using Words = std::array<uint64_t, kWords>;

  struct Copy {
    std::atomic<uint32_t> sequence{0};  // odd while a writer is at work
    std::array<std::atomic<uint64_t>, kWords> words{};
  };

  static void Publish(Copy& copy, const T& value) noexcept {
    Words words{};
    std::memcpy(words.data(), &value, sizeof(T));
    const uint32_t sequence = copy.sequence.load(std::memory_order_relaxed);
    copy.sequence.store(sequence + 1, std::memory_order_relaxed);
    // Release on each word: a reader that sees one sees the odd sequence before it.
    for (std::size_t i = 0; i < kWords; ++i) copy.words[i].store(words[i], std::memory_order_release);
    copy.sequence.store(sequence + 2, std::memory_order_release);
  }

  static bool TryRead(const Copy& copy, Words& words) noexcept {
    const uint32_t before = copy.sequence.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < kWords; ++i) words[i] = copy.words[i].load(std::memory_order_acquire);
    const uint32_t after = copy.sequence.load(std::memory_order_relaxed);
    return before == after && (before & 1u) == 0;
  }

  Copy copies_[2];
  std::mutex writer_;
  T value_;  // the writers' own copy, under writer_
};

}  // namespace Tavix::HardwareAPI::Servo
