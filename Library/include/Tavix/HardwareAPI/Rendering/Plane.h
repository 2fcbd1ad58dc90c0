#pragma once

#include "Tavix/HardwareAPI/Rendering/Shape.h"

namespace Tavix::HardwareAPI::Rendering {

/// A half-space: the solid lies behind the plane through `point`, opposite `normal`,
/// which points to the free side. Its own frame has the plane at z = 0 with the free
/// side towards +z; the pose starts at `point`, its rotation taking +z to `normal`.
class Plane : public Shape {
 public:
  /// `normal` is scaled to unit length. Throws std::invalid_argument for a value that is
  /// not finite, a normal of length 0, or a material `SetMaterial` would refuse.
  /// Caller's thread.
  Plane(const Vector3& point, const Vector3& normal, const Material& material = {});

  /// The outward unit normal in the scene's frame, from the current pose.
  Vector3 Normal() const noexcept;
};

}  // namespace Tavix::HardwareAPI::Rendering
