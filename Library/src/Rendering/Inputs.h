#pragma once

#include <cmath>
#include <stdexcept>
#include <string>

#include <Eigen/Geometry>

#include "Tavix/HardwareAPI/Rendering/Pose.h"

namespace Tavix::HardwareAPI::Rendering {

// Checks of what callers pass to shapes' constructors and setters (caller threads only:
// they throw std::invalid_argument naming the value).

inline double CheckedFinite(float value, const char* name) {
  if (!std::isfinite(value)) throw std::invalid_argument(std::string(name) + " must be a finite number");
  return value;
}

inline double CheckedPositive(float value, const char* name) {
  if (!(CheckedFinite(value, name) > 0.0)) throw std::invalid_argument(std::string(name) + " must be above 0");
  return value;
}

inline Eigen::Vector3d CheckedPoint(const Vector3& point, const char* name) {
  return {CheckedFinite(point[0], name), CheckedFinite(point[1], name), CheckedFinite(point[2], name)};
}

inline Eigen::Vector3d CheckedDirection(const Vector3& direction, const char* name) {
  const Eigen::Vector3d vector = CheckedPoint(direction, name);
  if (!(vector.norm() > 0.0)) throw std::invalid_argument(std::string(name) + " must not be of length 0");
  return vector.normalized();
}

inline Vector3 ToVector3(const Eigen::Vector3d& vector) {
  return {static_cast<float>(vector.x()), static_cast<float>(vector.y()), static_cast<float>(vector.z())};
}

/// The rotation taking +z to the unit vector `direction`.
inline Rotation RotationFromZ(const Eigen::Vector3d& direction) {
  const Eigen::Quaterniond turn = Eigen::Quaterniond::FromTwoVectors(Eigen::Vector3d::UnitZ(), direction);
  return {static_cast<float>(turn.x()), static_cast<float>(turn.y()), static_cast<float>(turn.z()),
          static_cast<float>(turn.w())};
}

}  // namespace Tavix::HardwareAPI::Rendering
