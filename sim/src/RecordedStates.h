#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "PointMass.h"

namespace Tavix::Simulator {

/// An end-effector state as a recording holds it: position (m) and velocity (m/s).
struct RecordedState {
  Cartesian position{};
  Cartesian velocity{};
};

/// Bytes per state in a file of recorded states: six little-endian binary64 numbers,
/// x, y, z, vx, vy, vz, with nothing before, between or after the states.
constexpr std::size_t kRecordedStateBytes = 48;

/// The states of the file at `path`, in order. Throws std::invalid_argument with a
/// message for the user when it cannot be read, is empty or does not hold a whole
/// number of states.
std::vector<RecordedState> ReadRecordedStates(const std::string& path);

}  // namespace Tavix::Simulator
