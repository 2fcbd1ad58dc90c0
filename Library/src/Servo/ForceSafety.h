#pragma once

#include "Tavix/HardwareAPI/Vector3.h"

namespace Tavix::HardwareAPI::Servo {

/// A force made safe to send, and what it took.
struct SafeForce {
  Vector3 force{};
  bool non_finite = false;  ///< a component was not finite: the force became zero
  bool clamped = false;     ///< it was stronger than max_force: scaled down to it
};

/// The servo loop's safety rules for the force `wanted`, applied in this order:
///   1. a component that is not finite makes the whole force zero;
///   2. a magnitude above `max_force` is scaled down to `max_force`, keeping the direction;
///   3. when `ramp_seconds` > 0, the force is scaled by min(1, seconds / ramp_seconds),
///      `seconds` the time since the loop started.
/// The magnitude and the scale factors are worked out in double and each component is
/// rounded back to float once per scaling. Pure: no state, no allocation.
SafeForce MakeSafe(const Vector3& wanted, float max_force, double ramp_seconds, double seconds) noexcept;

}  // namespace Tavix::HardwareAPI::Servo
