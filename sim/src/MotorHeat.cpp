#include "MotorHeat.h"

#include <cmath>

namespace Tavix::Simulator {

void MotorHeat::Advance(double seconds, const Joints& currents) {
  double power = 0;
  for (const double current : currents) power += current * current;
  const double equilibrium = kAmbientCelsius + kRisePerSquareAmpere * power;
  // Exact for constant currents, so a long pause between requests costs nothing.
  celsius_ = equilibrium + (celsius_ - equilibrium) * std::exp(-seconds / kTimeConstantSeconds);
}

}  // namespace Tavix::Simulator
