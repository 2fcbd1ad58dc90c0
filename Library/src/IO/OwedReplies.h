#pragma once

#include <array>
#include <cstddef>

#include "Tavix/HardwareAPI/IO/Deadline.h"

namespace Tavix::HardwareAPI::IO {

/// The bytes of replies that reads on a port gave up on (or that a request sent without
/// a read will bring) and that may still come, oldest first, each with the time it is
/// forgotten. Bytes that come pay the oldest. Kept by the port, not by a device, so that
/// every device on the port (the servo loop's own, the caller's) knows what is owed.
class OwedReplies {
 public:
  using Clock = Deadline::Clock;

  bool Empty() const noexcept { return bytes_ == 0; }
  std::size_t Bytes() const noexcept { return bytes_; }
  /// Adds `bytes` owed until `forget_at`; when every slot is taken, to the newest
  /// (which is then forgotten later: never sooner than it should be).
  void Add(std::size_t bytes, Clock::time_point forget_at) noexcept;
  /// Takes `bytes` (at most `Bytes()`) that came off what the oldest owe.
  void Pay(std::size_t bytes) noexcept;
  void ForgetExpired(Clock::time_point now) noexcept;
  void Clear() noexcept;

 private:
  struct Owed {
    std::size_t bytes;
    Clock::time_point forget_at;
  };
  static constexpr std::size_t kSlots = 16;
  std::array<Owed, kSlots> owed_{};
  std::size_t first_ = 0;
  std::size_t count_ = 0;
  std::size_t bytes_ = 0;
};

}  // namespace Tavix::HardwareAPI::IO
