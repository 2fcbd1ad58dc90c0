#pragma once

#include "Tavix/HardwareAPI/Rendering/Shape.h"

namespace Tavix::HardwareAPI::Rendering {

/// A solid rectangular box. Its own frame is centred on the box with the box's edges
/// along its axes; the pose starts at `center`, turned by `rotation`.
class Box : public Shape {
 public:
  /// `rotation` is scaled to unit length. Throws std::invalid_argument for a value that
  /// is not finite, a half extent that is not above 0, a rotation of length 0, or a
  /// material `SetMaterial` would refuse. Caller's thread.
  Box(const Vector3& center, const Vector3& half_extents, const Rotation& rotation = {0.0f, 0.0f, 0.0f, 1.0f},
      const Material& material = {});

  /// Half the box's size along each of its own axes, m; fixed for the shape's life.
  Vector3 HalfExtents() const noexcept { return half_extents_; }

 private:
  Vector3 half_extents_;
};

}  // namespace Tavix::HardwareAPI::Rendering
