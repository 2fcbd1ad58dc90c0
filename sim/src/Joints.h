#pragma once

#include <array>

namespace Tavix::Simulator {

/// One value per joint of the arm, joints 0 (base), 1 and 2 (linkage): angles in
/// radians, velocities in radians per second, torques in N m or currents in amperes.
using Joints = std::array<double, 3>;

}  // namespace Tavix::Simulator
