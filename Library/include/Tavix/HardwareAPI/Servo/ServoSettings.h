#pragma once

#include <cstddef>

namespace Tavix::HardwareAPI::Servo {

/// How a `ServoLoop` runs. `ServoLoop`'s constructor checks them and throws
/// std::invalid_argument for values outside the ranges below.
struct ServoSettings {
  /// The peak force a desktop Morvek3 is rated for, in newtons: the default of
  /// `rated_peak_force`.
  static constexpr float kRatedPeakForce = 10.0f;
  /// The default of `device_damping`, in N s/m: low for a desktop arm, so that the
  /// stiffness bound it gives errs on the safe side.
  static constexpr float kDeviceDamping = 1.0f;

  /// Ticks per second: one force exchange per tick. 1 to 10000.
  double rate_hz = 1000.0;
  /// The largest force magnitude sent, in newtons; a stronger force is scaled down to it,
  /// keeping its direction. Above 0 and finite. Any such value is accepted; one above
  /// `rated_peak_force` makes the constructor log one line (see `ServoLoop`).
  float max_force = 5.0f;
  /// The arm's rated peak force, in newtons, which `max_force` is checked against: change
  /// it for an arm rated otherwise. Above 0 and finite.
  float rated_peak_force = kRatedPeakForce;
  /// Ask for real-time scheduling: SCHED_FIFO at `realtime_priority` for the loop's
  /// thread, and the process's memory locked (mlockall) unless `lock_memory` is false.
  /// Where either is not permitted the loop runs without it and `ServoStats` says why.
  bool realtime = false;
  /// The SCHED_FIFO priority asked for, 1 to 99.
  int realtime_priority = 80;
  /// With `realtime`: also lock the process's memory. It stays locked for the rest of
  /// the process's life, and every later allocation is locked too.
  bool lock_memory = true;
  /// The loop stops after this many failed exchanges in a row. At least 1.
  int max_failures = 10;
  /// How many ticks the history keeps; 0 means 10 seconds' worth at `rate_hz`. At most
  /// 10 000 000.
  std::size_t history_size = 0;
  /// Forces ramp in over this many seconds after a start: each is scaled by
  /// min(1, t / ramp_seconds), t the tick's time since the start. 0 to 60; 0: no ramp.
  double ramp_seconds = 0.1;
  /// Passivity control: each tick the loop sums the energy that has flowed into its side
  /// of the port (every effect, scene and the callback together) and, when the force about
  /// to go out would make it negative, adds just the damping needed to keep it at zero
  /// (Hannaford & Ryu 2002; see `ServoLoop`). Off: the force is the effects' sum as it is.
  bool passivity = false;
  /// The arm's own physical damping at the end effector, in N s/m, which bounds the
  /// stiffness it can render passively (`ServoLoop::StableStiffness`). Finite and not
  /// negative. The default, kDeviceDamping, is on the low side: set the arm's measured
  /// damping to loosen the bound.
  float device_damping = kDeviceDamping;

  /// The options below trade CPU for timing; all are off by default (see the servo-loop
  /// guide for what each buys). Sleep until this many microseconds before each tick's
  /// deadline, then spin to it, so that the tick starts on time even when waking from a
  /// sleep is slow. 0 (off) up to one period.
  double spin_us = 0.0;
  /// Wait for each reply by polling the port without sleeping, for up to half a period,
  /// then sleep for the rest: the core stays awake, so the reply is seen sooner, at the
  /// cost of a core busy for the round trip. The bound matters under `realtime`: a
  /// spinning real-time thread keeps the kernel's receive work for the port off its CPU.
  bool spin_reply = false;
  /// Pin the loop's thread to this CPU (0 up to the number of CPUs less 1); -1: any CPU.
  /// Where the CPU cannot be had the loop runs unpinned and `ServoStats` says why.
  int cpu = -1;
};

}  // namespace Tavix::HardwareAPI::Servo
