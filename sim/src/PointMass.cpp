#include "PointMass.h"

#include <algorithm>
#include <cmath>

namespace Tavix::Simulator {
namespace {

// Below this the series are used: the closed forms lose digits to cancellation near 0.
constexpr double kSeriesBelow = 1e-4;

// (1 - e^-x) / x: 1 without damping.
double Phi1(double x) { return x < kSeriesBelow ? 1 - x / 2 + x * x / 6 : -std::expm1(-x) / x; }

// (x - 1 + e^-x) / x^2: 1/2 without damping.
double Phi2(double x) { return x < kSeriesBelow ? 0.5 - x / 6 + x * x / 24 : (x + std::expm1(-x)) / (x * x); }

double Dot(const Cartesian& a, const Cartesian& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

}  // namespace

PointMass::PointMass(const Settings& settings, const Cartesian& position)
    : settings_(settings), position_(position) {}

void PointMass::Advance(double seconds, const Cartesian& force) {
  while (seconds > 0) {
    const double step = std::min(seconds, kStepSeconds);
    Step(step, force);
    seconds -= step;
  }
}

void PointMass::Place(const Cartesian& position, const Cartesian& velocity) {
  position_ = position;
  velocity_ = velocity;
}

// The exact motion under a constant net force G with damping: with r = b / m and x = r h,
//   v(h) = v + (G / m - r v) h Phi1(x),   p(h) = p + v h + (G / m - r v) h^2 Phi2(x).
void PointMass::Step(double seconds, const Cartesian& force) {
  const Cartesian before = velocity_;
  const Cartesian net = NetForce(force);
  const double rate = settings_.damping / settings_.mass;
  const double phi1 = Phi1(rate * seconds), phi2 = Phi2(rate * seconds);
  for (std::size_t i = 0; i < 3; ++i) {
    const double change = net[i] / settings_.mass - rate * velocity_[i];
    position_[i] += velocity_[i] * seconds + change * seconds * seconds * phi2;
    velocity_[i] += change * seconds * phi1;
  }
  // Friction stops the mass where it would turn back, rather than push it the other way.
  if (settings_.friction > 0 && Dot(before, velocity_) < 0) velocity_ = {};
}

// The force less friction: against the motion; at rest, against the force, all of the
// force up to the friction's level.
Cartesian PointMass::NetForce(const Cartesian& force) const {
  const double speed = std::sqrt(Dot(velocity_, velocity_));
  const Cartesian& along = speed > 0 ? velocity_ : force;
  const double length = speed > 0 ? speed : std::sqrt(Dot(force, force));
  if (speed == 0 && length <= settings_.friction) return {};
  Cartesian net = force;
  for (std::size_t i = 0; i < 3; ++i) net[i] -= settings_.friction * along[i] / length;
  return net;
}

}  // namespace Tavix::Simulator
