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

// The work `force` does over the move from `from` to `to`.
double Work(const Vector3& force, const Vector3& from, const Vector3& to) noexcept {
  double work = 0.0;
  for (std::size_t i = 0; i < 3; ++i) work += static_cast<double>(force[i]) * (static_cast<double>(to[i]) - from[i]);
  return work;
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
  return spare > 0.0 ? spare / ((kLoopDelayTicks + 0.5) * period) : 0.0;
}

PassivityController::PassivityController(double period) noexcept
    : period_(period), max_damping_(kDampedMass / period) {}

void PassivityController::Reset() noexcept {
  energy_ = 0.0;
  held_force_ = {};
  holding_ = false;
}

void PassivityController::Observe(const Vector3& sent, bool answered, const Vector3& position,
                                  const Vector3& velocity) noexcept {
  const bool known = answered && Finite(sent) && Finite(position) && Finite(velocity);
  if (holding_) {
    energy_ -= known ? Work(held_force_, held_from_, position) : Dot(held_force_, held_velocity_) * period_;
  }
  holding_ = known;
  held_force_ = known ? sent : Vector3{};
  held_from_ = position;
  held_velocity_ = velocity;
}

double PassivityController::Expected(const Vector3& force, const Vector3& velocity) const noexcept {
  if (!Finite(force) || !Finite(velocity)) return energy_;
  return energy_ - (Dot(held_force_, velocity) + Dot(force, velocity)) * period_;
}

// The damper alpha goes against the velocity, -alpha v, so its predicted power on the arm,
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
