#pragma once

#include <array>

namespace Tavix::HardwareAPI {

/// Three 32-bit floats in index order 0, 1, 2: a command, a position, a velocity,
/// joint angles or joint torques.
using Vector3 = std::array<float, 3>;

}  // namespace Tavix::HardwareAPI
