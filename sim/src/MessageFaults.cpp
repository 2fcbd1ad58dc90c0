#include "MessageFaults.h"

namespace Tavix::Simulator {

MessageFaults::MessageFaults(const Settings& settings) : settings_(settings), random_(settings.garbage_start) {}

Bytes MessageFaults::Apply(Bytes message) {
  if (settings_.wrong_header) message[0] = static_cast<uint8_t>(~message[0]);
  if (settings_.truncate) {
    message.resize(message.size() > kTruncatedBytes ? message.size() - kTruncatedBytes : 1);
  }
  if (Chance(settings_.garbage_probability)) {
    message.insert(message.begin(), static_cast<uint8_t>(random_() & 0xFF));
  }
  return message;
}

// Uses the generator's raw output rather than a distribution, whose algorithm differs
// between standard libraries, so a starting value gives the same run everywhere.
bool MessageFaults::Chance(double probability) {
  if (probability <= 0.0) return false;
  constexpr double kRange = 4294967296.0;  // 2^32, the generator's number of outcomes
  return static_cast<double>(random_()) < probability * kRange;
}

}  // namespace Tavix::Simulator
