#pragma once

#include <cstdint>
#include <random>

#include "WireBytes.h"

namespace Tavix::Simulator {

/// Damage done on purpose to the messages the simulated device sends, to test how the
/// host copes. With the default settings messages pass unchanged.
class MessageFaults {
 public:
  static constexpr std::size_t kTruncatedBytes = 3;

  struct Settings {
    bool wrong_header = false;         ///< replace the header code with its complement
    bool truncate = false;             ///< drop the last `kTruncatedBytes` (never the code)
    double garbage_probability = 0.0;  ///< chance of one random byte before a message
    uint32_t garbage_start = 1;        ///< starts the random bytes and chances, for repeatable runs
  };

  explicit MessageFaults(const Settings& settings);

  /// `message` (not empty) as it goes out on the wire.
  Bytes Apply(Bytes message);

 private:
  bool Chance(double probability);

  Settings settings_;
  std::mt19937 random_;
};

}  // namespace Tavix::Simulator
