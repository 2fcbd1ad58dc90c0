#include "HandleMotion.h"

#include <cmath>

namespace Tavix::Simulator {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTurnRate = 0.5;             // radians per second
constexpr double kAxis[3] = {1.0 / 3, 2.0 / 3, 2.0 / 3};  // unit length
constexpr double kSqueezePeriod = 4.0;        // seconds
constexpr double kButtonPeriod = 0.5;         // seconds per combination
constexpr int kHallMax = 31;
constexpr int kButtonCombinations = 8;

}  // namespace

HandleReading HandleReadingAt(double seconds) {
  HandleReading reading;
  const double half_angle = kTurnRate * seconds / 2;
  for (int i = 0; i < 3; ++i) reading.quaternion[i] = static_cast<float>(kAxis[i] * std::sin(half_angle));
  reading.quaternion[3] = static_cast<float>(std::cos(half_angle));

  const double squeeze = 0.5 - 0.5 * std::cos(2 * kPi * seconds / kSqueezePeriod);
  reading.hall_level = static_cast<uint8_t>(std::lround(kHallMax * squeeze));
  const auto button_step = static_cast<long long>(seconds / kButtonPeriod);
  reading.buttons = static_cast<uint8_t>(button_step % kButtonCombinations);
  return reading;
}

}  // namespace Tavix::Simulator
