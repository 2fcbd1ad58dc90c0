#pragma once

#include "Tavix/HardwareAPI/Servo/Effect.h"
#include "Tavix/HardwareAPI/Servo/ParameterBlock.h"

namespace Tavix::HardwareAPI::Servo {

/// The same force everywhere, such as a weight to carry.
class ConstantForce : public Effect {
 public:
  /// `force` in N. Throws std::invalid_argument unless every component is finite;
  /// `SetForce` likewise, leaving it unchanged.
  explicit ConstantForce(const Vector3& force);

  Vector3 Get() const noexcept { return force_.Load(); }
  void SetForce(const Vector3& force);

  Vector3 Force(const Vector3& position, const Vector3& velocity) const noexcept override;

 private:
  ParameterBlock<Vector3> force_;
};

}  // namespace Tavix::HardwareAPI::Servo
