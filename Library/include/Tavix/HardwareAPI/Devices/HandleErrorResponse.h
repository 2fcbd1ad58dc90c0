#pragma once

#include <cstdint>

namespace Tavix::HardwareAPI::Devices {

/// A handle's error response (code 0xDF).
struct HandleErrorResponse {
  uint16_t device_id = 0;
  uint8_t error_code = 0;
};

}  // namespace Tavix::HardwareAPI::Devices
