#pragma once

#include "Tavix/HardwareAPI/Vector3.h"

namespace Tavix::HardwareAPI::Devices {

/// The state an arm reports after a command: the end-effector position and velocity,
/// or, for joint-space commands, the joint angles (degrees) and joint velocities.
/// All zero after a failed exchange.
struct ArmState {
  Vector3 position{};  ///< end-effector position, or joint angles
  Vector3 velocity{};  ///< end-effector velocity, or joint velocities
};

}  // namespace Tavix::HardwareAPI::Devices
