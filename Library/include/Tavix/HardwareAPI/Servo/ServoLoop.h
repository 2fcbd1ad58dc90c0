#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

#include "Tavix/HardwareAPI/Devices/Morvek3.h"
#include "Tavix/HardwareAPI/Servo/Effect.h"
#include "Tavix/HardwareAPI/Servo/ServoSettings.h"
#include "Tavix/HardwareAPI/Servo/ServoState.h"
#include "Tavix/HardwareAPI/Servo/ServoStats.h"
#include "Tavix/HardwareAPI/Vector3.h"

namespace Tavix::HardwareAPI::Servo {

class ServoHistory;

/// A thread of its own that drives one Morvek3 arm at a fixed rate: one end-effector
/// force exchange (`Morvek3::EndEffectorForce`) per tick.
///
/// Timing. The ticks lie on a grid of absolute deadlines on the monotonic clock, start
/// + n x period, and the thread sleeps to each with clock_nanosleep(TIMER_ABSTIME), so
/// delays never add up. Each grid slot holds at most one tick: a tick that begins late
/// (its exchange ran long, say) still runs, at once; a tick whose whole slot passed
/// before the loop was free is skipped and counted as missed, never made up in a burst.
///
/// A tick. At its deadline the loop works out the force from the arm's last reply: the
/// sum of its effects (`Add`) plus what the callback (`SetCallback`) returns, made safe
/// as below; then sends it and reads the arm's reply (position and velocity), which the
/// next tick's force is worked out from. A change to an effect's parameters, or to the
/// effects added, therefore shows in the first tick that begins after it. The first
/// tick, and each tick after a failed exchange, sends zero force.
///
/// Passivity control, with `ServoSettings::passivity`: between the sum and the safety
/// below, a passivity observer and controller (Hannaford & Ryu 2002) add damping against
/// the arm's velocity whenever the force would give the hand more energy than it has put
/// in at the port, over every effect and the callback together; the observer counts each
/// force over the displacement between the replies that begin and end its hold, and
/// predicts the holds not yet ended at the latest velocity; `Stats` counts what it did. It costs a few tens of nanoseconds a tick. Off (the default), the force is
/// exactly the sum.
///
/// Stiffness. A sampled wall stiffer than `StableStiffness()` can give energy back (the
/// contact buzzes or bounces). Such a stiffness is rendered all the same, and said once
/// per start, from the first tick whose stiffest effect (`Effect::Stiffness`) is above
/// it: one line through the loop's log (see Logging below), "[err]
/// Library/src/ServoLoop:<line>> servo loop: stiffness <k> N/m is above <s> N/m, the
/// largest passive stiffness at <r> Hz with a device damping of <b> N s/m: contact may
/// buzz or bounce; lower it, add damping, or turn on passivity control: [0] Success"
/// (with passivity control on, the advice reads "passivity control adds damping where
/// contact gives energy back").
///
/// Safety, always on:
///   - a force with a component that is not finite is replaced by zero (counted);
///   - a force stronger than `max_force` is scaled down to it, keeping its direction
///     (counted);
///   - forces ramp in: each is scaled by min(1, t / ramp_seconds), t the tick's time
///     since the start;
///   - a failed exchange (any `LastError()`) is counted and makes the next force zero;
///   - the loop stops by itself after `max_failures` failed exchanges in a row, and at
///     once when the port fails (an errno in `LastError()`: a hang-up is EIO); `Error()`
///     then holds why;
///   - whenever the loop stops, it sends one zero force (`SendForce`, not waiting for
///     the reply) unless the port failed.
///
/// The arm. It must be built on an `IO::Port`, so that each failure is known
/// (`LastError()`) and costs one time-out at most: the constructor refuses an arm on a
/// plain `SerialStream`, where a silent device would hold each exchange for up to two
/// 5 s time-outs and look like an arm reporting zeros. An exchange waits for the port's
/// time-out, so the port must have one (at least 1 us; checked at construction and at
/// each start): set it to a few periods (`Port::SetTimeout`) so that a silent device is
/// given up on quickly.
///
/// Ownership. An arm is known by its port: every Morvek3 object on the port is the same
/// arm. From `Start` until the loop has sent its last zero force (after `Stop`, or when
/// it stops by itself; `Running()` is false from then on) the loop owns the arm: it
/// exchanges through a device object of its own, and the port refuses every other
/// (`IO::Port::Driven`). Any operation on the arm (on `Arm()`, on another Morvek3 or a
/// Handle on the port), from any thread, the loop's callback included, then fails at
/// once: it sends and reads nothing, `LastError()` is std::errc::device_or_resource_busy,
/// and it returns the failure values it returns for any other failure on a Port. An
/// operation already under way when the loop starts is waited for by `Start`, so the
/// loop's first exchange never meets another. A tick pays one atomic load for this. No
/// other loop starts on the arm meanwhile (`Start` throws). Closing the port while the
/// loop runs is the caller's fault: stop the loop first.
///
/// Threads. Any thread may call anything, several at once: `Start`, `Stop` and
/// `SetCallback` take turns under a lock that the loop's thread never takes. The loop's
/// thread never waits for them: snapshots (`State`, `History`, `Stats`) and effect
/// parameters are read and written through sequence counters, and the effect list is
/// swapped whole, the old one freed by the thread that replaced it once the loop has let
/// go of it. Per tick the loop allocates nothing; the history is allocated at
/// construction.
///
/// Logging. The loop's thread never writes a log line itself (a failed exchange logs
/// one): its lines go through a bounded queue to the library's logging thread, which
/// writes them to standard error (or the `LogSink`) in order. A reader of standard error
/// that stops reading therefore holds up the logging thread, never a tick; lines that
/// find the queue full are dropped and counted (`ServoStats::log_lines_dropped`).
class ServoLoop {
 public:
  /// The per-tick callback: given the last tick whose exchange succeeded (the arm's
  /// state in its reply, the force that tick sent, its time and cycle), returns the force
  /// to add to the effects' for the tick about to send. Runs on the loop's thread, at the
  /// start of the tick, before the exchange: it should take microseconds, and must not
  /// block; the arm's operations fail there as on any other thread. If it throws, the loop stops and `Error()` is
  /// std::errc::operation_canceled.
  using Callback = std::function<Vector3(const ServoState& last)>;

  /// A loop for `arm`, which must outlive it (as must its port), with `settings`.
  /// Allocates the history; starts nothing. Throws std::invalid_argument when the arm is
  /// not built on an `IO::Port`, when the port has no time-out or one below 1 us, or for
  /// a setting outside its range (see `ServoSettings`). A `max_force` above
  /// `rated_peak_force` is accepted, and logged as one line, once per loop made, through
  /// the library's log (standard error, or the `LogSink`):
  /// "[err] Library/src/ServoLoop:<line>> servo loop: max_force <f> N is above the arm's
  /// rated peak force of <r> N (rated_peak_force); forces up to <f> N will be sent: [0]
  /// Success".
  explicit ServoLoop(Devices::Morvek3& arm, const ServoSettings& settings = ServoSettings());

  /// Stops the loop as `Stop` does.
  ~ServoLoop();

  ServoLoop(const ServoLoop&) = delete;
  ServoLoop& operator=(const ServoLoop&) = delete;

  /// Starts the loop's thread (and the library's logging thread, the first time);
  /// returns once the thread runs and has asked for real-time scheduling if the settings
  /// say so (see `Stats()`). The loop owns the arm from here on (see the class comment):
  /// first it waits for an operation on the arm under way in another thread to end
  /// (within its time-out). Resets the counters, the timings, the history, the error and the ramp. Throws std::logic_error if the loop is running (of two calls at once, one
  /// starts it and the other throws) or if another loop drives the arm, and nothing
  /// starts; std::invalid_argument if the port has no time-out or one below 1 us;
  /// std::system_error if no thread can be started.
  void Start();

  /// Asks the loop to stop and waits for its thread to end: at the latest when the
  /// exchange in progress has ended, within the port's time-out, plus a tick. Sends one
  /// zero force unless the port failed; the arm is free once it returns. Does nothing
  /// when the loop is not running.
  /// Several threads may call it at once: each returns once the loop has stopped.
  /// Called from the callback, it only asks: the loop ends after that tick.
  void Stop();

  /// True from `Start` until the loop has stopped, by `Stop` or by itself.
  bool Running() const noexcept;

  /// Waits until the loop has stopped, for at most `timeout`; returns `!Running()`.
  bool WaitFor(std::chrono::nanoseconds timeout) const;

  /// Why the loop stopped by itself: the arm's `LastError()` of the exchange that
  /// ended it (an errno of the port, or a `DeviceErrc` after `max_failures` failures in
  /// a row). Empty while running, after `Stop`, and before the first start.
  std::error_code Error() const;

  /// With `Error()`, the ticks that led up to it, as a flight recorder keeps them: the
  /// last `kErrorHistoryTicks` of the run (fewer if it ran fewer), oldest first, the failed
  /// exchanges included. Empty whenever `Error()` is.
  std::vector<ServoState> ErrorHistory() const;
  static constexpr std::size_t kErrorHistoryTicks = 100;

  /// Sets the callback (an empty one: none). Throws std::logic_error while running.
  /// Called from the callback itself, it throws too.
  void SetCallback(Callback callback);

  /// Adds `effect`; returns false (and changes nothing) if it is there already. Throws
  /// std::invalid_argument for null. May wait a few microseconds for the loop to finish
  /// with the current list.
  bool Add(std::shared_ptr<Effect> effect);
  /// Removes `effect`; returns false if it was not there. Waits as `Add` does.
  bool Remove(const std::shared_ptr<Effect>& effect);
  /// Removes every effect. Waits as `Add` does.
  void Clear();
  /// The effects, in the order added.
  std::vector<std::shared_ptr<Effect>> Effects() const;

  /// The latest tick; nothing before the first tick after a start has ended. Never
  /// waits for the loop (copies under a sequence counter; allocates nothing).
  std::optional<ServoState> State() const noexcept;

  /// The last ticks, oldest first, up to the history size: every tick of the last
  /// `history_size` grid slots that ran. Allocates the result.
  std::vector<ServoState> History() const;

  /// The counters and timings since the last start.
  ServoStats Stats() const;

  /// The largest stiffness (N/m) that an effect with `damping` (N s/m) renders passively
  /// at this loop's rate on an arm with the settings' `device_damping`:
  /// (device_damping - |damping|) x rate_hz / 1.5, and 0 when |damping| is device_damping
  /// or more. Colgate & Schenkel 1997 bound a wall whose force acts d periods T after its
  /// sample by b > K T (d + 1/2) + |B|; each tick's force is worked out from the reply to
  /// the tick before, so d = 1 here. Throws std::invalid_argument for a damping that is
  /// not finite.
  float StableStiffness(float damping = 0.0f) const;

  const ServoSettings& Settings() const noexcept;
  /// The number of ticks the history keeps (the settings' `history_size`, or 10 s
  /// worth).
  std::size_t HistorySize() const noexcept;
  /// The arm the loop was made with. While the loop runs its operations fail
  /// (device_or_resource_busy): the loop exchanges through a device of its own.
  Devices::Morvek3& Arm() const noexcept;

 private:
  friend class TickReader;  // reads the ticks with a cursor of its own
  const ServoHistory& Ticks() const noexcept;

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace Tavix::HardwareAPI::Servo
