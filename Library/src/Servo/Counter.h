#pragma once

#include <atomic>
#include <cstdint>

namespace Tavix::HardwareAPI::Servo {

/// A count that one thread (the servo loop's) increases and any thread reads. Relaxed
/// throughout: a reader wants a recent value, not an order with anything else.
class Counter {
 public:
  /// The one writing thread only: a load and a store, no read-modify-write.
  void Add(uint64_t amount = 1) noexcept {
    value_.store(value_.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
  }
  /// Not while the writer runs.
  void Reset() noexcept { value_.store(0, std::memory_order_relaxed); }
  uint64_t Get() const noexcept { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> value_{0};
};

/// A real number (an energy, in J) that one thread (the servo loop's) sets or increases
/// and any thread reads; relaxed as `Counter` is.
class Amount {
 public:
  /// The one writing thread only.
  void Set(double value) noexcept { value_.store(value, std::memory_order_relaxed); }
  /// The one writing thread only: a load and a store, no read-modify-write.
  void Add(double amount) noexcept { Set(Get() + amount); }
  /// Not while the writer runs.
  void Reset() noexcept { Set(0.0); }
  double Get() const noexcept { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<double> value_{0.0};
};

}  // namespace Tavix::HardwareAPI::Servo
