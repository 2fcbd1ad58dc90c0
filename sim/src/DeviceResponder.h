#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "WireBytes.h"

namespace Tavix::Simulator {

/// The device side of a wire protocol: turns the host's requests into the device's
/// replies. Knows nothing about ports, timing faults or signals.
class DeviceResponder {
 public:
  using Clock = std::chrono::steady_clock;

  /// The outcome of looking at the front of the received bytes.
  struct Exchange {
    std::size_t consumed = 0;  ///< bytes of the request; 0 while the request is incomplete
    Bytes reply;               ///< empty when the request is not answered
  };

  virtual ~DeviceResponder() = default;

  /// Looks at the first request in `input` (not empty), received at `now`. A byte that
  /// starts no known request is consumed alone and left unanswered.
  virtual Exchange Answer(const Bytes& input, Clock::time_point now) = 0;

  /// The message the device sends unasked at each tick of a stream; empty if it has none.
  virtual Bytes StreamedMessage(Clock::time_point) { return {}; }
};

/// The numbers a device reports of itself in its info reply, in their order there.
struct DeviceNumbers {
  uint16_t device_id = 1;
  uint8_t model_number = 0;
  uint8_t hardware_version = 1;
  uint8_t firmware_version = 3;
};

/// `numbers` as an info reply carries them: the device id (uint16), then a byte each.
inline void AppendDeviceNumbers(Bytes& out, const DeviceNumbers& numbers) {
  AppendU16(out, numbers.device_id);
  AppendBytes(out, {numbers.model_number, numbers.hardware_version, numbers.firmware_version});
}

}  // namespace Tavix::Simulator
