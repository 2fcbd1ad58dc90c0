#pragma once

#include "Tavix/HardwareAPI/Servo/Effect.h"
#include "Tavix/HardwareAPI/Servo/ParameterBlock.h"

namespace Tavix::HardwareAPI::Servo {

/// A spring pulling the end effector towards a point, with optional damping:
/// force = stiffness x (center - position) - damping x velocity.
class Spring : public Effect {
 public:
  struct Parameters {
    Vector3 center{};       ///< m
    float stiffness = 0.0f;  ///< N/m
    float damping = 0.0f;    ///< N s/m
  };

  /// Throws std::invalid_argument for a value that is not finite, or a negative
  /// stiffness or damping; the setters likewise, leaving the parameters unchanged.
  Spring(const Vector3& center, float stiffness, float damping = 0.0f);

  Parameters Get() const noexcept { return parameters_.Load(); }
  void Set(const Parameters& parameters);
  void SetCenter(const Vector3& center);
  void SetStiffness(float stiffness);
  void SetDamping(float damping);

  Vector3 Force(const Vector3& position, const Vector3& velocity) const noexcept override;
  float Stiffness() const noexcept override { return parameters_.Load().stiffness; }

 private:
  ParameterBlock<Parameters> parameters_;
};

}  // namespace Tavix::HardwareAPI::Servo
