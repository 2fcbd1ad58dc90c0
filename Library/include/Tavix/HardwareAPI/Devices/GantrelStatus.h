#pragma once

#include <cstdint>

namespace Tavix::HardwareAPI::Devices {

/// A handle's compact status, as returned by `Handle::GetGantrelStatus`.
///
/// `error_flag` is the handle's own flag, or a failure of the read on the host: 1 when
/// the frame was short or malformed, 2 when no frame started in time. Every other field
/// is 0 after a host-side failure. The handle may report 1 or 2 itself; the record does
/// not tell the two sources apart.
struct GantrelStatus {
  uint8_t device_id = 0;
  float quaternion[4] = {};  ///< each component in [-1, 1)
  uint8_t error_flag = 0;
  uint8_t hall_effect_sensor_level = 0;  ///< 0 to 31
  uint8_t buttons = 0;                   ///< 0 to 7
  float battery_level = 0.0f;            ///< 3.0 + 0.005 x the raw value sent
};

}  // namespace Tavix::HardwareAPI::Devices
