#pragma once

#include <cstdint>

#include "Tavix/HardwareAPI/Vector3.h"

namespace Tavix::HardwareAPI::Servo {

/// One tick of a `ServoLoop`: the force it sent, what the arm answered, and when. The
/// loop's latest state and its history are made of these. Plain data, copyable.
struct ServoState {
  /// The tick's number on the loop's grid of deadlines, 0 for the first tick after a
  /// start. A missed tick leaves a gap: the next tick run has the next number still on
  /// the grid.
  uint64_t cycle = 0;
  /// When the tick began, in seconds since the start (the first tick's deadline).
  double time = 0.0;
  /// End-effector position (m) and velocity (m/s) from the arm's reply. After a failed
  /// exchange (`ok` false) they are those of the last reply that came.
  Vector3 position{};
  Vector3 velocity{};
  /// The force (N) actually sent in this tick's exchange: after the clamp, the ramp and
  /// the zero force that follows a failure.
  Vector3 force{};
  /// How long the exchange took, request written to reply read, in microseconds.
  float round_trip_us = 0.0f;
  /// How long after its deadline the tick began, in microseconds.
  float lateness_us = 0.0f;
  /// True when the exchange succeeded.
  bool ok = false;
};

}  // namespace Tavix::HardwareAPI::Servo
