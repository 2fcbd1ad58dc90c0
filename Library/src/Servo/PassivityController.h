#pragma once

#include "Tavix/HardwareAPI/Vector3.h"

namespace Tavix::HardwareAPI::Servo {

/// The largest stiffness (N/m) that a wall sampled every `period` seconds, with a damping
/// of `wall_damping` (N s/m), can have on a device whose own damping is `device_damping`
/// (N s/m) and stay passive: 2 x (device_damping - |wall_damping|) / period, and 0 when
/// |wall_damping| >= device_damping. Colgate & Schenkel 1997: such a wall is passive when
/// b > K T / 2 + |B|. Pure; NaN in, NaN out.
double LargestPassiveStiffness(double device_damping, double wall_damping, double period) noexcept;

/// A force that the passivity controller may have added damping to.
struct PassiveForce {
  Vector3 force{};          ///< the force to send: the one wanted, with the damping added
  double damping = 0.0;     ///< N s/m added against the velocity; 0 when the controller did not act
  double dissipated = 0.0;  ///< J the added damping takes out over a period at that velocity
};

/// A time-domain passivity observer and controller at the servo loop's port (Hannaford &
/// Ryu 2002): whatever the effects add up to, the loop's side of the port must never give
/// the hand more energy than the hand has put in.
///
/// The observer. Each tick the loop sends a force f (N) on the arm and holds it for a
/// period T (s); the arm moves at v (m/s). The arm then does work f.v T on the hand's
/// side, so the energy that flows into the loop's side (the virtual environment) is
/// -f.v T. E, in J, sums it from 0, and stays at or above 0 for a passive environment.
/// Each force is accounted (`Observe`) with the velocity the arm reported in reply to it,
/// the motion it was held over. A force worked out from the arm's last reply and released
/// a tick or more later (a sampled wall too stiff for the rate and the arm's damping) then
/// shows: it gives back more than it took, and E goes below 0. The force about to be sent
/// is not answered yet: `Expected` counts it at the latest velocity, and is corrected by
/// `Observe` once the arm replies.
///
/// The controller. When sending f would take E below 0 (`Expected` < 0), it adds a damper
/// of alpha N s/m against the velocity: f' = f - alpha v, which takes out alpha |v|^2 T
/// more over the period. alpha = -(E - f.v T) / (|v|^2 T) brings the expected E back to
/// exactly 0; a margin of 2^-20 of the tick's energies is added so that rounding the force
/// to float (and the loop's clamp and ramp scaling it, each to 2^-24) never leaves it below
/// 0. alpha is at most `MaxDamping` (below); a deficit it cannot pay at once stays in E and
/// is paid over the next ticks, as is a velocity that changed by the time the arm replied.
/// When the arm does not move no damping can take energy out, and the force is left as it
/// is.
///
/// The bound. alpha <= kDampedMass / T (50 N s/m at 1 kHz): the damping that a damper
/// working from the last tick's velocity can put on an end effector of kDampedMass or more
/// without making it ring (alpha T / m < 1). A lighter end effector than 50 g is unusual,
/// and a held one is heavier.
///
/// The loop's force safety still applies after the controller: a force scaled down (to
/// max_force, by the ramp) at most keeps more of E than planned, never takes it below 0; a
/// force that is not finite is left for the safety to zero. What the loop sends, damping
/// included, is what is observed: the energy the controller dissipated is in E.
///
/// Pure: no I/O, no allocation, no lock; every call is noexcept. One thread uses it.
class PassivityController {
 public:
  /// An end effector at least this heavy (kg) cannot be made to ring by the damping added.
  static constexpr double kDampedMass = 0.05;

  /// For a loop that ticks every `period` seconds (above 0), with E at 0.
  explicit PassivityController(double period) noexcept;

  /// E back to 0: a new run.
  void Reset() noexcept { energy_ = 0.0; }

  /// The observer: accounts `sent`, held for a period, at `velocity`, the velocity the
  /// arm reported in reply to it: E -= sent.velocity T. A force or velocity that is not
  /// finite, which the loop never sends, is not counted.
  void Observe(const Vector3& sent, const Vector3& velocity) noexcept;

  /// E once `force` has been held for a period at `velocity` (the latest the arm
  /// reported); E itself for a force or velocity that is not finite.
  double Expected(const Vector3& force, const Vector3& velocity) const noexcept;

  /// The controller: `wanted`, with damping added if `Expected(wanted, velocity)` is below
  /// 0. A force or velocity that is not finite is returned as it is.
  PassiveForce Damped(const Vector3& wanted, const Vector3& velocity) const noexcept;

  /// E, in J: the energy the port has taken in since the start (or `Reset`), for every
  /// force observed.
  double Energy() const noexcept { return energy_; }

  /// The largest damping the controller adds, N s/m.
  double MaxDamping() const noexcept { return max_damping_; }

 private:
  double period_;
  double max_damping_;
  double energy_ = 0.0;
};

}  // namespace Tavix::HardwareAPI::Servo
