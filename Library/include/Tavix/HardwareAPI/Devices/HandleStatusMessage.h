#pragma once

#include <cstdint>

namespace Tavix::HardwareAPI::Devices {

/// A handle's status message (code 0xDA, as read by `Handle::Receive`).
struct HandleStatusMessage {
  uint16_t device_id = 0;
  float quaternion[4] = {};  ///< as sent by the handle, not normalised
  uint8_t error_flag = 0;
  uint8_t hall_effect_sensor_level = 0;
  uint8_t user_data_length = 0;
  uint8_t user_data[255] = {};  ///< the first `user_data_length` bytes are valid, the rest 0
};

}  // namespace Tavix::HardwareAPI::Devices
