#pragma once

#include <memory>

#include "Tavix/HardwareAPI/Rendering/Material.h"
#include "Tavix/HardwareAPI/Rendering/Pose.h"
#include "Tavix/HardwareAPI/Servo/ParameterBlock.h"

namespace Tavix::HardwareAPI::Rendering {

class Geometry;

/// A solid that a `Scene` renders: a surface fixed in the shape's own frame, placed by a
/// pose, felt through a material. The pose and the material may be set from any thread
/// at any time, while a servo loop renders the shape; the loop reads them without
/// waiting (`Servo::ParameterBlock`). Shapes are shared (std::shared_ptr) and cannot be
/// copied.
class Shape {
 public:
  virtual ~Shape();
  Shape(const Shape&) = delete;
  Shape& operator=(const Shape&) = delete;

  Pose GetPose() const noexcept { return pose_.Load(); }
  /// The rotation is scaled to unit length. Throws std::invalid_argument for a value
  /// that is not finite or a rotation of length 0, leaving the pose unchanged.
  void SetPose(const Pose& pose);
  void SetPosition(const Vector3& position);
  void SetRotation(const Rotation& rotation);

  Material GetMaterial() const noexcept { return material_.Load(); }
  /// Throws std::invalid_argument for a value that is not finite or is negative, or a
  /// dynamic friction above the static one, leaving the material unchanged.
  void SetMaterial(const Material& material);

  /// The surface in the shape's own frame; for the library's renderer.
  const Geometry& Surface() const noexcept { return *geometry_; }

 protected:
  Shape(std::shared_ptr<const Geometry> geometry, const Pose& pose, const Material& material);

 private:
  std::shared_ptr<const Geometry> geometry_;
  Servo::ParameterBlock<Pose> pose_;
  Servo::ParameterBlock<Material> material_;
};

}  // namespace Tavix::HardwareAPI::Rendering
