#pragma once

#include <Eigen/Geometry>

#include "Tavix/HardwareAPI/Rendering/Pose.h"

namespace Tavix::HardwareAPI::Rendering {

/// The rigid transform from a shape's frame to the scene's. The pose's rotation is of
/// unit length already (Shape normalises it).
inline Eigen::Isometry3d ToTransform(const Pose& pose) noexcept {
  const Eigen::Quaterniond rotation(pose.rotation[3], pose.rotation[0], pose.rotation[1], pose.rotation[2]);
  Eigen::Isometry3d transform = Eigen::Isometry3d::Identity();
  transform.linear() = rotation.toRotationMatrix();
  transform.translation() = Eigen::Vector3d(pose.position[0], pose.position[1], pose.position[2]);
  return transform;
}

}  // namespace Tavix::HardwareAPI::Rendering
