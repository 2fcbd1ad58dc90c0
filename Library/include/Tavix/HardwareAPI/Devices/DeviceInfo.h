#pragma once

#include <cstdint>

#include "Tavix/HardwareAPI/UUID.h"

namespace Tavix::HardwareAPI::Devices {

/// What an arm reports about itself when woken. All fields zero after a failed read.
struct DeviceInfo {
  uint16_t device_id = 0;         ///< device number
  UUID device_id_ext;             ///< extended device identifier
  uint8_t device_model_number = 0;
  uint8_t hardware_version = 0;
  uint8_t firmware_version = 0;   ///< one-byte version, distinct from GetFirmwareVersion's
};

}  // namespace Tavix::HardwareAPI::Devices
