#pragma once

#include "Tavix/HardwareAPI/Rendering/Shape.h"

namespace Tavix::HardwareAPI::Rendering {

/// A solid ball. Its own frame is centred on the ball; the pose starts at `center`.
class Sphere : public Shape {
 public:
  /// Throws std::invalid_argument for a value that is not finite, a radius that is not
  /// above 0, or a material `SetMaterial` would refuse. Caller's thread.
  Sphere(const Vector3& center, float radius, const Material& material = {});

  /// m; fixed for the shape's life.
  float Radius() const noexcept { return radius_; }

 private:
  float radius_;
};

}  // namespace Tavix::HardwareAPI::Rendering
