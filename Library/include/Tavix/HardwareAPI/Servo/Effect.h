#pragma once

#include "Tavix/HardwareAPI/Vector3.h"

namespace Tavix::HardwareAPI::Servo {

/// A force field a `ServoLoop` renders: given where the end effector is and how it
/// moves, the force to put on it. The loop sends the sum of its effects' forces, made
/// safe (see `ServoLoop`).
///
/// Effects are shared: the loop holds them by std::shared_ptr, and the program keeps
/// its own to change the parameters while the loop runs. Their setters may be called
/// from any thread at any time; the loop reads the parameters without waiting for them
/// (`ParameterBlock`) and sees a change from the first tick that begins after it.
/// Effects cannot be copied.
class Effect {
 public:
  virtual ~Effect() = default;

  Effect(const Effect&) = delete;
  Effect& operator=(const Effect&) = delete;

  /// The force (N) on the end effector at `position` (m) moving at `velocity` (m/s).
  /// Called on the loop's thread every tick: it never blocks, never allocates and never
  /// throws. The result may be anything, NaN included: the loop makes it safe.
  virtual Vector3 Force(const Vector3& position, const Vector3& velocity) const noexcept = 0;

  /// The stiffness (N/m) the effect renders, which the loop checks against the largest
  /// it can render passively (`ServoLoop::StableStiffness`); 0 for an effect without one.
  /// Called on the loop's thread every tick, after `Force`, under the same rules.
  virtual float Stiffness() const noexcept { return 0.0f; }

 protected:
  Effect() = default;
};

}  // namespace Tavix::HardwareAPI::Servo
