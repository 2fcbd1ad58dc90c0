#pragma once

#include "Tavix/HardwareAPI/Servo/Effect.h"
#include "Tavix/HardwareAPI/Servo/ParameterBlock.h"

namespace Tavix::HardwareAPI::Servo {

/// A flat wall: the plane through `point` with the unit `normal`, which points out of
/// the wall, towards the free side. On the free side (and on the plane) the wall puts
/// no force; past the plane, at depth d, it pushes back along the normal with
/// stiffness x d - damping x (velocity . normal), and never pulls: damping may soften
/// the push down to zero but not turn it into a pull.
class Wall : public Effect {
 public:
  struct Parameters {
    Vector3 point{};         ///< a point of the plane, m
    Vector3 normal{};        ///< unit length, out of the wall
    float stiffness = 0.0f;  ///< N/m
    float damping = 0.0f;    ///< N s/m
  };

  /// `normal` is scaled to unit length. Throws std::invalid_argument for a value that
  /// is not finite, a normal of length 0, or a negative stiffness or damping; the
  /// setters likewise, leaving the parameters unchanged.
  Wall(const Vector3& point, const Vector3& normal, float stiffness, float damping = 0.0f);

  Parameters Get() const noexcept { return parameters_.Load(); }
  void Set(const Parameters& parameters);
  void SetPoint(const Vector3& point);
  void SetNormal(const Vector3& normal);
  void SetStiffness(float stiffness);
  void SetDamping(float damping);

  Vector3 Force(const Vector3& position, const Vector3& velocity) const noexcept override;
  float Stiffness() const noexcept override { return parameters_.Load().stiffness; }

 private:
  ParameterBlock<Parameters> parameters_;
};

}  // namespace Tavix::HardwareAPI::Servo
