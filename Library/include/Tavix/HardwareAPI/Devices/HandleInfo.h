#pragma once

#include <cstdint>

namespace Tavix::HardwareAPI::Devices {

/// The identity a handle reports in its info reply (code 0xD0).
struct HandleInfo {
  uint16_t device_id = 0;
  uint8_t tool_data_remaining = 0;
  uint8_t device_model_number = 0;
  uint8_t hardware_version = 0;
  uint8_t firmware_version = 0;
};

}  // namespace Tavix::HardwareAPI::Devices
