#include "ForceSafety.h"

#include <cmath>

namespace Tavix::HardwareAPI::Servo {
namespace {

Vector3 Scaled(const Vector3& vector, double factor) noexcept {
  return {static_cast<float>(vector[0] * factor), static_cast<float>(vector[1] * factor),
          static_cast<float>(vector[2] * factor)};
}

bool IsFinite(const Vector3& vector) noexcept {
  return std::isfinite(vector[0]) && std::isfinite(vector[1]) && std::isfinite(vector[2]);
}

double Magnitude(const Vector3& vector) noexcept {
  return std::sqrt(static_cast<double>(vector[0]) * vector[0] + static_cast<double>(vector[1]) * vector[1] +
                   static_cast<double>(vector[2]) * vector[2]);
}

}  // namespace

SafeForce MakeSafe(const Vector3& wanted, float max_force, double ramp_seconds, double seconds) noexcept {
  SafeForce safe;
  safe.force = wanted;
  if (!IsFinite(safe.force)) {
    safe.non_finite = true;
    safe.force = Vector3{0.0f, 0.0f, 0.0f};
  }
  const double magnitude = Magnitude(safe.force);
  if (magnitude > max_force) {
    safe.clamped = true;
    safe.force = Scaled(safe.force, max_force / magnitude);
  }
  if (ramp_seconds > 0.0 && seconds < ramp_seconds) safe.force = Scaled(safe.force, seconds / ramp_seconds);
  return safe;
}

}  // namespace Tavix::HardwareAPI::Servo
