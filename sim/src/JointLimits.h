#pragma once

#include "Joints.h"

namespace Tavix::Simulator {

/// The range of motion of the simulated arm, in degrees. The base (joint 0) turns
/// within its own range. Joints 1 and 2 drive the linkage from one axis, so they are
/// bounded together: their mean is where the linkage points, their difference how far
/// it opens. Keeping the difference away from 0 and 180 degrees keeps the elbows apart
/// and stops the linkage folding over, and with the default link lengths the distal
/// links can then always meet.
struct JointLimits {
  static constexpr double kBaseMin = -60, kBaseMax = 60;
  static constexpr double kHeadingMin = -135, kHeadingMax = -45;  // (joint 1 + joint 2) / 2
  static constexpr double kSpreadMin = 20, kSpreadMax = 160;      // joint 1 - joint 2
};

/// Moves `angles` back inside the limits and removes the components of `velocities`
/// that point out of them, as a rigid end stop would.
void EnforceJointLimits(Joints& angles, Joints& velocities);

}  // namespace Tavix::Simulator
