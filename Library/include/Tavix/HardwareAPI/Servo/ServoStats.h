#pragma once

#include <cstdint>
#include <string>

namespace Tavix::HardwareAPI::Servo {

/// What a `ServoLoop` has counted and measured since its last start. Plain data.
struct ServoStats {
  /// A distribution in microseconds: nearest-rank percentiles, to 1 us below 1 ms, to
  /// 10 us below 10 ms and to 1 ms above (each the upper edge of its bucket, never above
  /// `max`), and the exact largest value. All zero before the first sample.
  struct Percentiles {
    double p50 = 0.0;
    double p99 = 0.0;
    double p999 = 0.0;  ///< the 99.9th percentile
    double max = 0.0;
  };

  uint64_t cycles = 0;      ///< ticks run: force exchanges made
  uint64_t missed = 0;      ///< ticks skipped because the one before ran past them
  uint64_t failures = 0;    ///< failed exchanges (each followed by a zero force)
  uint64_t clamped = 0;     ///< forces scaled down to the largest force allowed
  uint64_t non_finite = 0;  ///< forces with a NaN or infinite component, replaced by zero
  /// Error log lines of the loop's thread (a failed exchange logs one) dropped because
  /// the logging thread was behind: the loop never waits for a line to be written.
  uint64_t log_lines_dropped = 0;

  /// Passivity control (`ServoSettings::passivity`; all zero while it is off). The energy
  /// the hand has put into the loop's side of the port, in J, as the observer sums it at
  /// the last tick: each force whose hold has ended over the displacement it was held for,
  /// the force in flight and the last one sent predicted at the latest velocity the arm
  /// reported. It stays at or above 0 while the controller keeps up. The ticks at which
  /// the controller added damping, and the energy that damping took out, in J, as
  /// predicted at the velocity the arm reported (before the force safety, which may scale
  /// it down).
  double passivity_energy = 0.0;
  uint64_t passivity_acted = 0;
  double passivity_dissipated = 0.0;

  bool realtime = false;       ///< the loop's thread runs under SCHED_FIFO
  bool memory_locked = false;  ///< the process's memory is locked (mlockall)
  /// Real-time scheduling as asked for and as granted, or why it was not; empty when it
  /// was not asked for.
  std::string realtime_note;

  /// |time between two consecutive ticks - the period|: how evenly the ticks come.
  Percentiles period_jitter_us;
  /// Time from each tick's deadline to when the tick began.
  Percentiles lateness_us;
  /// Time of each exchange, request written to reply read.
  Percentiles round_trip_us;
};

}  // namespace Tavix::HardwareAPI::Servo
