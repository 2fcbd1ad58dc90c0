#pragma once

#include <array>
#include <cstdint>

namespace Tavix::Simulator {

/// What the simulated handle's sensors read at one moment.
struct HandleReading {
  std::array<float, 4> quaternion{};  ///< unit quaternion, (x, y, z, w)
  uint8_t hall_level = 0;             ///< 0 to 31
  uint8_t buttons = 0;                ///< 0 to 7, one bit per button
};

/// The reading `seconds` after the handle was switched on: it turns slowly about a fixed
/// tilted axis, its hall sensor rises and falls as if squeezed every few seconds, and
/// its buttons count through every combination.
HandleReading HandleReadingAt(double seconds);

}  // namespace Tavix::Simulator
