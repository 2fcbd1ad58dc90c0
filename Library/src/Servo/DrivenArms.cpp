#include "DrivenArms.h"

#include <chrono>
#include <thread>

#include "IO/OwedReplies.h"
#include "Tavix/HardwareAPI/Devices/Device.h"
#include "Tavix/HardwareAPI/IO/Port.h"

namespace Tavix::HardwareAPI::Servo {
namespace {

// How often a claim looks whether the operations under way have ended.
constexpr std::chrono::microseconds kOperationsPoll{100};

}  // namespace

// Of two claims at once, the exchange lets one through. The claim is sequentially
// consistent, and so is the count it reads after, as Port::Admit counts and then reads:
// an operation either sees the claim and is refused, or is seen under way. Reading the
// count also acquires, so what those operations did happens before the loop's ticks; the
// claim acquires too, so a loop that claims the arm after another released it sees what
// that one's thread did.
bool DrivenArms::Claim(IO::Port& port, const Devices::Device& device) noexcept {
  const Devices::Device* free = nullptr;
  if (!port.driver_.compare_exchange_strong(free, &device, std::memory_order_seq_cst)) return false;
  while (port.operations_.load(std::memory_order_seq_cst) != 0) std::this_thread::sleep_for(kOperationsPoll);
  return true;
}

void DrivenArms::Release(IO::Port& port, std::size_t unread_reply_bytes) noexcept {
  if (unread_reply_bytes > 0) {
    port.owed_->Add(unread_reply_bytes, IO::OwedReplies::Clock::now() + Devices::Device::kLateReplyLimit);
  }
  port.driver_.store(nullptr, std::memory_order_release);
}

}  // namespace Tavix::HardwareAPI::Servo
