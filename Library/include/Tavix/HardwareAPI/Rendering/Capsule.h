#pragma once

#include "Tavix/HardwareAPI/Rendering/Shape.h"

namespace Tavix::HardwareAPI::Rendering {

/// The points within `radius` of the segment from `a` to `b`: a cylinder with round
/// caps, or a ball when `a` equals `b`. Its own frame has the segment along z, centred
/// on the origin; the pose starts at the segment's midpoint, its rotation taking +z to
/// b - a.
class Capsule : public Shape {
 public:
  /// Throws std::invalid_argument for a value that is not finite, a radius that is not
  /// above 0, or a material `SetMaterial` would refuse. Caller's thread.
  Capsule(const Vector3& a, const Vector3& b, float radius, const Material& material = {});

  /// m; fixed for the shape's life.
  float Radius() const noexcept { return radius_; }

 private:
  float radius_;
};

}  // namespace Tavix::HardwareAPI::Rendering
