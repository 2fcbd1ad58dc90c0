#pragma once

#include "Tavix/HardwareAPI/Servo/Effect.h"
#include "Tavix/HardwareAPI/Servo/ParameterBlock.h"

namespace Tavix::HardwareAPI::Servo {

/// Viscous damping everywhere: force = -damping x velocity.
class Damper : public Effect {
 public:
  /// `damping` in N s/m. Throws std::invalid_argument unless it is finite and not
  /// negative; `SetDamping` likewise, leaving it unchanged.
  explicit Damper(float damping);

  float Damping() const noexcept { return damping_.Load(); }
  void SetDamping(float damping);

  Vector3 Force(const Vector3& position, const Vector3& velocity) const noexcept override;

 private:
  ParameterBlock<float> damping_;
};

}  // namespace Tavix::HardwareAPI::Servo
