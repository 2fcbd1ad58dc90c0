#include "OwedReplies.h"

#include <algorithm>

namespace Tavix::HardwareAPI::IO {

void OwedReplies::Add(std::size_t bytes, Clock::time_point forget_at) noexcept {
  bytes_ += bytes;
  if (count_ == kSlots) {
    Owed& newest = owed_[(first_ + count_ - 1) % kSlots];
    newest.bytes += bytes;
    newest.forget_at = forget_at;
    return;
  }
  owed_[(first_ + count_) % kSlots] = {bytes, forget_at};
  ++count_;
}

void OwedReplies::Pay(std::size_t bytes) noexcept {
  while (bytes > 0 && count_ > 0) {
    Owed& oldest = owed_[first_];
    const std::size_t paid = std::min(bytes, oldest.bytes);
    oldest.bytes -= paid;
    bytes_ -= paid;
    bytes -= paid;
    if (oldest.bytes > 0) return;
    first_ = (first_ + 1) % kSlots;
    --count_;
  }
}

void OwedReplies::ForgetExpired(Clock::time_point now) noexcept {
  while (count_ > 0 && owed_[first_].forget_at <= now) {
    bytes_ -= owed_[first_].bytes;
    first_ = (first_ + 1) % kSlots;
    --count_;
  }
}

void OwedReplies::Clear() noexcept {
  first_ = count_ = bytes_ = 0;
}

}  // namespace Tavix::HardwareAPI::IO
