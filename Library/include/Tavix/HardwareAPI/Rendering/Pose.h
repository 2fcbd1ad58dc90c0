#pragma once

#include <array>

#include "Tavix/HardwareAPI/Vector3.h"

namespace Tavix::HardwareAPI::Rendering {

/// A unit quaternion in the order x, y, z, w, as ROS messages and SciPy write it.
using Rotation = std::array<float, 4>;

/// Where a shape is: its own frame's origin (m) and rotation, in the scene's frame,
/// which is the arm's.
struct Pose {
  Vector3 position{};
  Rotation rotation{0.0f, 0.0f, 0.0f, 1.0f};
};

}  // namespace Tavix::HardwareAPI::Rendering
