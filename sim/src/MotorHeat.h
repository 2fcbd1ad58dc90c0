#pragma once

#include "Joints.h"

namespace Tavix::Simulator {

/// First-order thermal model of the motors: the temperature relaxes towards the ambient
/// temperature plus a rise proportional to the dissipated power (the sum of the squared
/// motor currents).
class MotorHeat {
 public:
  static constexpr double kAmbientCelsius = 25.0;
  static constexpr double kRisePerSquareAmpere = 0.5;  // kelvin at equilibrium
  static constexpr double kTimeConstantSeconds = 30.0;

  /// Lets `seconds` pass with the motors drawing `currents` (amperes) all along.
  void Advance(double seconds, const Joints& currents);

  double Celsius() const { return celsius_; }

 private:
  double celsius_ = kAmbientCelsius;
};

}  // namespace Tavix::Simulator
