#include "JointLimits.h"

#include <cmath>

namespace Tavix::Simulator {
namespace {

constexpr double kRadiansPerDegree = 3.14159265358979323846 / 180.0;

// Clamps `value` into [min, max]; a velocity pushing further out is stopped.
void StopAt(double min, double max, double& value, double& velocity) {
  if (value < min) {
    value = min;
    if (velocity < 0) velocity = 0;
  } else if (value > max) {
    value = max;
    if (velocity > 0) velocity = 0;
  }
}

}  // namespace

void EnforceJointLimits(Joints& angles, Joints& velocities) {
  constexpr double k = kRadiansPerDegree;
  StopAt(JointLimits::kBaseMin * k, JointLimits::kBaseMax * k, angles[0], velocities[0]);

  double heading = (angles[1] + angles[2]) / 2, heading_rate = (velocities[1] + velocities[2]) / 2;
  double spread = angles[1] - angles[2], spread_rate = velocities[1] - velocities[2];
  StopAt(JointLimits::kHeadingMin * k, JointLimits::kHeadingMax * k, heading, heading_rate);
  StopAt(JointLimits::kSpreadMin * k, JointLimits::kSpreadMax * k, spread, spread_rate);
  angles[1] = heading + spread / 2;
  angles[2] = heading - spread / 2;
  velocities[1] = heading_rate + spread_rate / 2;
  velocities[2] = heading_rate - spread_rate / 2;
}

}  // namespace Tavix::Simulator
