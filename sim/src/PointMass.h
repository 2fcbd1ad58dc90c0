#pragma once

#include <array>

namespace Tavix::Simulator {

/// A point in the device frame: x, y, z in metres (or a velocity, a force).
using Cartesian = std::array<double, 3>;

/// A mass moving freely in Cartesian space under a force held constant between calls,
/// with viscous damping and Coulomb friction:
///   m a = F - b v - f v / |v|
/// At rest it stays at rest while |F| <= f (stiction); once |F| exceeds f, friction
/// opposes F while it gets going.
///
/// Time passes in steps of at most `kStepSeconds`, each solved exactly for the mass and
/// the damping under the held force (with the friction of the step's start), so a call
/// ends exactly at the time asked, however short: a force applied after `Advance(t)`
/// acts from t on. With friction, a step in which the velocity turns back ends at rest.
/// No I/O, no clock: tests drive it with numbers.
class PointMass {
 public:
  struct Settings {
    double mass = 0.1;      ///< kg
    double damping = 2.0;   ///< N s / m
    double friction = 0.0;  ///< N
  };

  static constexpr double kStepSeconds = 10e-6;

  PointMass(const Settings& settings, const Cartesian& position);

  /// Lets `seconds` pass under `force` (N).
  void Advance(double seconds, const Cartesian& force);

  /// Moves the mass to `position` with `velocity`, as a hand or an end stop would.
  void Place(const Cartesian& position, const Cartesian& velocity);

  const Cartesian& Position() const { return position_; }  ///< metres
  const Cartesian& Velocity() const { return velocity_; }  ///< metres per second

 private:
  void Step(double seconds, const Cartesian& force);
  Cartesian NetForce(const Cartesian& force) const;

  Settings settings_;
  Cartesian position_;
  Cartesian velocity_{};
};

}  // namespace Tavix::Simulator
