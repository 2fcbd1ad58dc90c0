#pragma once

#include "Tavix/HardwareAPI/Vector3.h"

namespace Tavix::HardwareAPI::Servo {

/// The ticks of delay the servo loop has on top of the hold: it works out each tick's force
/// from the arm's reply to the tick before, so a force acts a tick after the position it
/// was worked out from.
constexpr double kLoopDelayTicks = 1.0;

/// The largest stiffness (N/m) that a wall sampled every `period` seconds by the servo loop
/// (its tick of delay included), with a damping of `wall_damping` (N s/m), can have on a
/// device whose own damping is `device_damping` (N s/m) and stay passive:
/// (device_damping - |wall_damping|) / (1.5 period), and 0 when |wall_damping| >=
/// device_damping. Colgate & Schenkel 1997: with d periods of delay such a wall is passive
/// when b > K T (d + 1/2) + |B|; here d = kLoopDelayTicks. Pure; NaN in, NaN out.
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
/// The observer. At exchange n the loop sends a force F_n (N) and the arm replies with its
/// position x_n as F_n arrives; F_n is held until F_n+1 arrives, at x_n+1. Over its hold
/// the arm does work F_n.(x_n+1 - x_n) on the hand's side, so the energy that flows into
/// the loop's side (the virtual environment) is -F_n.(x_n+1 - x_n): exact for a held
/// force however the arm moved within the hold, and however long the hold (a missed tick
/// holds a force for two). E, in J, sums it from 0, and stays at or above 0 for a passive
/// environment. `Observe` takes each exchange as its reply comes in, and accounts the
/// force whose hold that reply ends. A force worked out from the arm's last reply and
/// released a tick or more later (a sampled wall too stiff for the rate and the arm's
/// damping) gives back more than it took, and E goes below 0.
///
/// The prediction. When the loop works out F_n+2 from the reply to exchange n+1, the holds
/// of F_n+1 (in flight) and of F_n+2 are not complete: `Expected` counts each at the
/// latest velocity v over a period, -F.v T, on top of E. `Observe` replaces the guess with
/// the exact count once the hold's end is known.
///
/// A failed exchange has no reply: the force sent in it is left out of E, and the force
/// before it, whose hold it ended at a position nobody knows, is counted as predicted (at
/// the velocity of its own reply).
///
/// The controller. When sending f would take the predicted E below 0 (`Expected` < 0), it
/// adds a damper of alpha N s/m along the latest velocity: f' = f - alpha v, which the
/// prediction counts as alpha |v|^2 T more taken out. alpha = -Expected(f, v) / (|v|^2 T)
/// brings the predicted E back to exactly 0; a margin of 2^-20 of the tick's energies is
/// added so that rounding the force to float (and the loop's clamp and ramp scaling it,
/// each to 2^-24) never leaves it below 0. alpha is at most `MaxDamping` (below); a deficit
/// it cannot pay at once stays in E and is paid over the next ticks, as is what the arm
/// did differently from the prediction. When the arm does not move no damping can take
/// energy out, and the force is left as it is.
///
/// The bound. alpha <= kDampedMass / T (50 N s/m at 1 kHz). The damper works from the
/// velocity of the reply before, so on an end effector of mass m it is
/// v_k+1 = v_k - (alpha T / m) v_k-1, whose roots stay inside the unit circle (the
/// damping does not make the arm ring) while alpha T / m < 1: any end effector of
/// kDampedMass or more. A lighter end effector than 50 g is unusual, and a held one is
/// heavier.
///
/// The loop's force safety still applies after the controller: a force scaled down (to
/// max_force, by the ramp) is observed as sent. What the loop sends, damping included, is
/// what is observed: the energy the controller dissipated is in E.
///
/// Pure: no I/O, no allocation, no lock; every call is noexcept. One thread uses it.
class PassivityController {
 public:
  /// An end effector at least this heavy (kg) cannot be made to ring by the damping added.
  static constexpr double kDampedMass = 0.05;

  /// For a loop that ticks every `period` seconds (above 0), with E at 0.
  explicit PassivityController(double period) noexcept;

  /// E back to 0 and no force held: a new run.
  void Reset() noexcept;

  /// The observer: an exchange that sent `sent`, `answered` with the arm at `position`,
  /// moving at `velocity`, or failed (`answered` false; position and velocity then unused).
  /// Accounts the force held before it, as above. A force, position or velocity that is
  /// not finite, which the loop never sends nor gets, counts as a failed exchange.
  void Observe(const Vector3& sent, bool answered, const Vector3& position, const Vector3& velocity) noexcept;

  /// The predicted E once the force in flight and `force` after it have each been held for
  /// a period at `velocity` (the latest the arm reported); E itself for a force or
  /// velocity that is not finite.
  double Expected(const Vector3& force, const Vector3& velocity) const noexcept;

  /// The controller: `wanted`, with damping added if `Expected(wanted, velocity)` is below
  /// 0. A force or velocity that is not finite is returned as it is.
  PassiveForce Damped(const Vector3& wanted, const Vector3& velocity) const noexcept;

  /// E, in J: the energy the port has taken in since the start (or `Reset`), for every
  /// hold completed.
  double Energy() const noexcept { return energy_; }

  /// The largest damping the controller adds, N s/m.
  double MaxDamping() const noexcept { return max_damping_; }

 private:
  double period_;
  double max_damping_;
  double energy_ = 0.0;
  // The force in flight: sent in the last exchange that was answered, held from
  // `held_from_`, where the arm moved at `held_velocity_`; zero when none is.
  Vector3 held_force_{};
  Vector3 held_from_{};
  Vector3 held_velocity_{};
  bool holding_ = false;
};

}  // namespace Tavix::HardwareAPI::Servo
