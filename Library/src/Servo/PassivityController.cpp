#include "PassivityController.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace Tavix::HardwareAPI::Servo {
namespace {

// The margin alpha adds, as a share of the tick's energies: well above the 2^-24 by
// which each rounding of the force to float (the controller's, the clamp's, the ramp's)
// can move its power.
constexpr double kRoundingMargin = 1.0 / (1 << 20);

bool Finite(const Vector3& vector) noexcept {
  return std::isfinite(vector[0]) && std::isfinite(vector[1]) && std::isfinite(vector[2]);
}

double Dot(const Vector3& a, const Vector3& b) noexcept {
  return static_cast<double>(a[0]) * b[0] + static_cast<double>(a[1]) * b[1] + static_cast<double>(a[2]) * b[2];
}

// The sum of |a_i b_i|: how far the power a.b can move when each a_i moves by a share of
// itself.
double AbsoluteDot(const Vector3& a, const Vector3& b) noexcept {
  return std::fabs(static_cast<double>(a[0]) * b[0]) + std::fabs(static_cast<double>(a[1]) * b[1]) +
         std::fabs(static_cast<double>(a[2]) * b[2]);
}

}  // namespace

double LargestPassiveStiffness(double device_damping, double wall_damping, double period) noexcept {
  const double spare = device_damping - std::fabs(wall_damping);
  if (std::isnan(spare) || std::isnan(period)) return std::nan("");
  return spare > 0.0 ? 2.0 * spare / period : 0.0;
}

PassivityController::PassivityController(double period) noexcept
    : period_(period), max_damping_(kDampedMass / period) {}

void PassivityController::Observe(const Vector3& sent, const Vector3& velocity) noexcept {
  if (Finite(sent) && Finite(velocity)) energy_ = Expected(sent, velocity);
}

double PassivityController::Expected(const Vector3& force, const Vector3& velocity) const noexcept {
  if (!Finite(force) || !Finite(velocity)) return energy_;
  return energy_ - Dot(force, velocity) * period_;
}

// The damper alpha goes against the velocity, -alpha v, so its power on the arm,
// -alpha |v|^2, is never positive: it only ever takes energy back into E.
PassiveForce PassivityController::Damped(const Vector3& wanted, const Vector3& velocity) const noexcept {
  PassiveForce passive{wanted};
  const double expected = Expected(wanted, velocity);
  const double speed_squared = Dot(velocity, velocity);
  if (!(expected < 0.0) || !Finite(wanted) || !(speed_squared > 0.0) || !std::isfinite(speed_squared)) {
    return passive;
  }
  const double margin = kRoundingMargin * (AbsoluteDot(wanted, velocity) * period_ - expected);
  passive.damping = std::min((margin - expected) / (speed_squared * period_), max_damping_);
  for (std::size_t i = 0; i < 3; ++i) {
    passive.force[i] = static_cast<float>(wanted[i] - passive.damping * velocity[i]);
  }
  passive.dissipated = passive.damping * speed_squared * period_;
  return passive;
}

}  // namespace Tavix::HardwareAPI::Servo
