#include "Tavix/HardwareAPI/Servo/ServoLoop.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "Counter.h"
#include "Devices/ArmProtocol.h"
#include "DeferredLog.h"
#include "DrivenArms.h"
#include "EffectList.h"
#include "IO/PortWait.h"
#include "ErrorLog.h"
#include "ForceSafety.h"
#include "PassivityController.h"
#include "ServoHistogram.h"
#include "ServoHistory.h"
#include "ServoRealtime.h"
#include "Tavix/HardwareAPI/IO/Port.h"

namespace Tavix::HardwareAPI::Servo {
namespace {

constexpr int64_t kSecond = 1000000000;
// A loop slower than this sleeps in slices of it, so that Stop is heard within one.
constexpr int64_t kLongestSleep = 20000000;
constexpr double kHistorySeconds = 10.0;
constexpr std::size_t kLargestHistory = 10000000;
// The shortest port time-out a loop accepts, in seconds.
constexpr double kShortestTimeout = 1e-6;
constexpr const char* kLogSource = "Library/src/ServoLoop";
const Vector3 kNoForce{0.0f, 0.0f, 0.0f};

int64_t Now() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * kSecond + now.tv_nsec;
}

void SleepUntil(int64_t deadline) noexcept {
  timespec at{};
  at.tv_sec = static_cast<time_t>(deadline / kSecond);
  at.tv_nsec = static_cast<long>(deadline % kSecond);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}

IO::Port& RequirePort(Devices::Morvek3& arm) {
  auto* port = dynamic_cast<IO::Port*>(arm.stream);
  if (port == nullptr) {
    throw std::invalid_argument(
        "a servo loop needs an arm on an IO::Port, which reports every failed exchange and "
        "gives up after its time-out; this arm is on a plain SerialStream");
  }
  return *port;
}

// An exchange, and so Stop, waits as long as the port's time-out: without one a silent
// arm would hold both forever. Checked at construction and again at each start, since
// the time-out can change in between.
void RequireTimeout(const IO::Port& port) {
  const double timeout = port.Timeout();
  if (timeout >= kShortestTimeout && std::isfinite(timeout)) return;
  throw std::invalid_argument(
      "a servo loop needs a port time-out of at least 1 us, so that a silent arm cannot hold an exchange "
      "(and the loop's stop) forever; this port has " +
      (timeout > 0.0 ? "one of " + std::to_string(timeout) + " s" : std::string("none")) +
      ": set one of a few periods (Port::SetTimeout; port.timeout = 0.01 in Python)");
}

IO::Port& RequireTimeout(IO::Port& port) {
  RequireTimeout(static_cast<const IO::Port&>(port));
  return port;
}

// The loop whose thread this is, if it is one's: Start and Stop called from the loop's
// own callback must not wait for the loop.
thread_local const void* loop_of_this_thread = nullptr;

ServoSettings Checked(const ServoSettings& settings) {
  const auto refuse = [](const std::string& what) { throw std::invalid_argument("servo loop: " + what); };
  if (!(settings.rate_hz >= 1.0 && settings.rate_hz <= 10000.0)) refuse("rate_hz must be between 1 and 10000");
  if (!(settings.max_force > 0.0f) || !std::isfinite(settings.max_force)) {
    refuse("max_force must be a finite number above 0");
  }
  if (!(settings.rated_peak_force > 0.0f) || !std::isfinite(settings.rated_peak_force)) {
    refuse("rated_peak_force must be a finite number above 0");
  }
  if (settings.realtime_priority < 1 || settings.realtime_priority > 99) {
    refuse("realtime_priority must be between 1 and 99");
  }
  if (settings.max_failures < 1) refuse("max_failures must be at least 1");
  if (settings.history_size > kLargestHistory) refuse("history_size must be at most 10000000");
  if (!(settings.ramp_seconds >= 0.0 && settings.ramp_seconds <= 60.0)) {
    refuse("ramp_seconds must be between 0 and 60");
  }
  if (!(settings.device_damping >= 0.0f) || !std::isfinite(settings.device_damping)) {
    refuse("device_damping must be a finite number, 0 or more");
  }
  if (!(settings.spin_us >= 0.0 && settings.spin_us <= 1e6 / settings.rate_hz)) {
    refuse("spin_us must be between 0 and one period (1e6 / rate_hz)");
  }
  if (settings.cpu < -1 || settings.cpu >= CpuCount()) {
    refuse("cpu must be -1 (any) or between 0 and " + std::to_string(CpuCount() - 1));
  }
  return settings;
}

// A max_force above the arm's rating is allowed (a bench rig, a stiffer arm), but said
// once, when the loop is made: the clamp no longer keeps the force within what the arm
// is built for.
void LogIfAboveRating(const ServoSettings& settings) {
  if (!(settings.max_force > settings.rated_peak_force)) return;
  const int saved = errno;
  errno = 0;  // the line's errno field: no call failed
  LogError(kLogSource, __LINE__,
           "servo loop: max_force %g N is above the arm's rated peak force of %g N (rated_peak_force); "
           "forces up to %g N will be sent",
           static_cast<double>(settings.max_force), static_cast<double>(settings.rated_peak_force),
           static_cast<double>(settings.max_force));
  errno = saved;
}

// The largest passive stiffness for an effect with `damping`, at the loop's rate.
float StableStiffnessFor(const ServoSettings& settings, float damping) noexcept {
  return static_cast<float>(LargestPassiveStiffness(settings.device_damping, damping, 1.0 / settings.rate_hz));
}

std::size_t HistorySizeFor(const ServoSettings& settings) {
  if (settings.history_size > 0) return settings.history_size;
  return static_cast<std::size_t>(std::llround(kHistorySeconds * settings.rate_hz));
}

Vector3 Sum(const Vector3& a, const Vector3& b) noexcept { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }

bool IsPortFailure(const std::error_code& error) noexcept { return error.category() == std::system_category(); }

}  // namespace

struct ServoLoop::Impl {
  // What one run of the loop carries from a tick to the next.
  struct RunState {
    explicit RunState(int64_t start_) noexcept : start(start_), deadline(start_) {}

    const int64_t start;
    int64_t deadline;
    uint64_t cycle = 0;
    uint64_t skipped = 0;  // slots passed before the next tick
    int64_t previous_begin = 0;
    uint64_t previous_cycle = 0;
    ServoState last;  // the last tick whose exchange succeeded
    bool have_state = false;
    int failures_in_a_row = 0;
    std::error_code stop_error;
    bool port_works = true;
    bool stiffness_said = false;  // the line on a stiffness above the stable one is out
  };

  Impl(Devices::Morvek3& arm_, const ServoSettings& settings_)
      : arm(arm_),
        port(RequireTimeout(RequirePort(arm_))),
        driver(&port),
        settings(Checked(settings_)),
        period(std::llround(static_cast<double>(kSecond) / settings.rate_hz)),
        spin(std::llround(settings.spin_us * 1000.0)),
        stable_stiffness(StableStiffnessFor(settings, 0.0f)),
        history(HistorySizeFor(settings)),
        passivity(1.0 / settings.rate_hz) {}

  void Run() noexcept;
  void Setup() noexcept;
  // The steps of a tick, in the order Run takes them. Those that return false end the
  // run, with `run.stop_error` saying why.
  bool WaitForSlot(int64_t deadline) const noexcept;
  ServoState BeginTick(RunState& run) noexcept;
  bool Command(RunState& run, ServoState& tick) noexcept;
  bool Wanted(const ServoState& last, Vector3& force, float& stiffest) noexcept;
  void SayIfTooStiff(RunState& run, float stiffness) const noexcept;
  Vector3 Passive(const ServoState& last, const Vector3& wanted) noexcept;
  void PublishEnergy(const Vector3& sent, const Vector3& velocity) noexcept;
  std::error_code Exchange(const RunState& run, ServoState& tick) noexcept;
  void Record(const ServoState& tick) noexcept;
  void Account(const ServoState& tick) noexcept;
  bool Judge(RunState& run, const ServoState& tick, std::error_code outcome) noexcept;
  void Advance(RunState& run) const noexcept;
  void Finish(std::error_code error, bool port_works) noexcept;
  void ResetMeasurements() noexcept;

  bool StopRequested() const noexcept { return stop_requested.load(std::memory_order_acquire); }

  Devices::Morvek3& arm;
  IO::Port& port;
  // The device the loop's thread exchanges through, its own: while the loop runs, the
  // port refuses every other (the caller's `arm` included), so that nothing of the
  // caller's calls (their buffers, their outcome) ever meets a tick.
  Devices::Morvek3 driver;
  const ServoSettings settings;
  const int64_t period;  // ns
  const int64_t spin;    // ns before each deadline spent spinning
  const float stable_stiffness;  // N/m, for an effect without damping
  Callback callback;

  ServoHistory history;
  ServoHistogram period_jitter, lateness, round_trip;
  Counter cycles, missed, failures, clamped, non_finite;
  EffectList effects;

  // The loop's thread's; reset at a start, before the thread starts.
  PassivityController passivity;
  Counter passivity_acted;
  Amount passivity_energy, passivity_dissipated;

  // The loop's thread's log lines that found the logging queue full; written by the
  // logging code on the loop's thread only, reset at a start.
  std::atomic<uint64_t> log_lines_dropped{0};

  // Held by Start, Stop and SetCallback, so that calls from several threads take turns;
  // never taken by the loop's thread.
  std::mutex control_mutex;
  std::thread thread;  // under control_mutex
  std::atomic<bool> stop_requested{false};
  std::atomic<bool> running{false};

  // Changed at a start and at the end of a run only, never during a tick.
  mutable std::mutex status_mutex;
  mutable std::condition_variable status_changed;
  bool set_up = false;
  std::error_code error;
  RealtimeOutcome realtime;
};

// The loop's thread. Each tick: wait for its slot, work out the force from the last good
// reply, exchange it with the arm, record the tick, account its exchange for passivity,
// judge the outcome, move to the next slot. Between Setup and Finish it allocates nothing
// and takes no lock.
void ServoLoop::Impl::Run() noexcept {
  // From here on this thread's log lines are posted to the logging thread, never
  // written here: a blocked standard error (or sink) cannot hold up a tick.
  const DeferredLog::RealtimeThread realtime_logging(&log_lines_dropped);
  loop_of_this_thread = this;
  Setup();
  RunState run(Now());
  while (WaitForSlot(run.deadline)) {
    ServoState tick = BeginTick(run);
    if (!Command(run, tick)) break;
    const std::error_code outcome = Exchange(run, tick);
    Record(tick);
    Account(tick);
    if (!Judge(run, tick, outcome)) break;
    Advance(run);
  }
  Finish(run.stop_error, run.port_works);
}

void ServoLoop::Impl::Setup() noexcept {
  NarrowTimerSlack();
  // At most half a period: see SpinWaitsOnThisThread.
  IO::SpinWaitsOnThisThread(std::chrono::nanoseconds(settings.spin_reply ? period / 2 : 0));
  RealtimeOutcome outcome;
  if (settings.realtime) outcome = EnterRealtime(settings.realtime_priority, settings.lock_memory);
  if (settings.cpu >= 0) PinToCpu(settings.cpu, outcome.note);
  const std::lock_guard<std::mutex> hold(status_mutex);
  realtime = std::move(outcome);
  set_up = true;
  status_changed.notify_all();
}

// Sleeps to `deadline` (with spin_us, to that long before it, then spins the rest), in
// slices for slow rates so that Stop is heard. False once Stop was asked.
bool ServoLoop::Impl::WaitForSlot(int64_t deadline) const noexcept {
  const int64_t wake = deadline - spin;
  while (!StopRequested() && wake - Now() > kLongestSleep) SleepUntil(Now() + kLongestSleep);
  if (StopRequested()) return false;
  SleepUntil(wake);
  while (Now() < deadline) {
  }
  return !StopRequested();
}

// Times the tick's start, and starts its record with zero force.
ServoState ServoLoop::Impl::BeginTick(RunState& run) noexcept {
  const int64_t begin = Now();
  // Counted when the tick after them begins, so that a stop leaves none half-counted.
  missed.Add(run.skipped);
  run.skipped = 0;
  lateness.Record(begin - run.deadline);
  if (run.cycle > 0 && run.previous_cycle + 1 == run.cycle) {
    period_jitter.Record(std::llabs(begin - run.previous_begin - period));
  }
  run.previous_begin = begin;
  run.previous_cycle = run.cycle;

  ServoState tick;
  tick.cycle = run.cycle;
  tick.time = static_cast<double>(begin - run.start) / kSecond;
  tick.lateness_us = static_cast<float>(begin - run.deadline) / 1000.0f;
  tick.force = kNoForce;
  return tick;
}

// The force `tick` sends: zero for the first tick and after a failed exchange, otherwise
// worked out from the last good tick, kept passive if asked and made safe. False if the
// callback threw.
bool ServoLoop::Impl::Command(RunState& run, ServoState& tick) noexcept {
  if (!run.have_state || run.failures_in_a_row != 0) return true;
  Vector3 wanted;
  float stiffest = 0.0f;
  if (!Wanted(run.last, wanted, stiffest)) {
    run.stop_error = std::make_error_code(std::errc::operation_canceled);
    return false;
  }
  SayIfTooStiff(run, stiffest);
  const Vector3 passive = Passive(run.last, wanted);
  const SafeForce safe = MakeSafe(passive, settings.max_force, settings.ramp_seconds, tick.time);
  if (safe.non_finite) non_finite.Add();
  if (safe.clamped) clamped.Add();
  tick.force = safe.force;
  PublishEnergy(tick.force, run.last.velocity);
  return true;
}

// The effects' forces plus the callback's, and the largest stiffness among the effects.
// False if the callback threw.
bool ServoLoop::Impl::Wanted(const ServoState& last, Vector3& force, float& stiffest) noexcept {
  force = kNoForce;
  effects.ForEach([&](const Effect& effect) {
    force = Sum(force, effect.Force(last.position, last.velocity));
    stiffest = std::max(stiffest, effect.Stiffness());  // after Force: a scene's is its latest step's
  });
  if (!callback) return true;
  try {
    force = Sum(force, callback(last));
  } catch (...) {
    return false;
  }
  return true;
}

// A stiffness above the stable one is rendered, and said once per run: the line is posted
// to the logging thread, never written here.
void ServoLoop::Impl::SayIfTooStiff(RunState& run, float stiffness) const noexcept {
  if (run.stiffness_said || !(stiffness > stable_stiffness)) return;
  run.stiffness_said = true;
  const int saved = errno;
  errno = 0;  // the line's errno field: no call failed
  LogError(kLogSource, __LINE__,
           "servo loop: stiffness %g N/m is above %g N/m, the largest passive stiffness at %g Hz with a device "
           "damping of %g N s/m: contact may buzz or bounce; %s",
           static_cast<double>(stiffness), static_cast<double>(stable_stiffness), settings.rate_hz,
           static_cast<double>(settings.device_damping),
           settings.passivity ? "passivity control adds damping where contact gives energy back"
                              : "lower it, add damping, or turn on passivity control");
  errno = saved;
}

// With passivity control, `wanted` with the damping the controller adds, from the
// velocity of `last`, the tick before; otherwise `wanted` itself.
Vector3 ServoLoop::Impl::Passive(const ServoState& last, const Vector3& wanted) noexcept {
  if (!settings.passivity) return wanted;
  const PassiveForce passive = passivity.Damped(wanted, last.velocity);
  if (passive.damping > 0.0) {
    passivity_acted.Add();
    passivity_dissipated.Add(passive.dissipated);
  }
  return passive.force;
}

// With passivity control, the energy the stats show: with the force in flight and the
// force sent (damping and safety included) predicted at the latest velocity until the
// replies that end their holds correct them.
void ServoLoop::Impl::PublishEnergy(const Vector3& sent, const Vector3& velocity) noexcept {
  if (settings.passivity) passivity_energy.Set(passivity.Expected(sent, velocity));
}

// Sends the tick's force and reads the arm's reply into it; after a failed exchange the
// position and velocity stay those of the last good tick. Returns the arm's outcome.
std::error_code ServoLoop::Impl::Exchange(const RunState& run, ServoState& tick) noexcept {
  const int64_t sent = Now();
  const Devices::ArmState reply = driver.EndEffectorForce(tick.force);
  const int64_t received = Now();
  const std::error_code outcome = driver.LastError();
  round_trip.Record(received - sent);
  tick.round_trip_us = static_cast<float>(received - sent) / 1000.0f;
  tick.ok = !outcome;
  tick.position = tick.ok ? reply.position : run.last.position;
  tick.velocity = tick.ok ? reply.velocity : run.last.velocity;
  return outcome;
}

void ServoLoop::Impl::Record(const ServoState& tick) noexcept {
  history.Append(tick);
  cycles.Add();
}

// With passivity control, the observer takes the tick's exchange: its reply ends the hold
// of the force before and begins that of the tick's own. A failed one has no reply.
void ServoLoop::Impl::Account(const ServoState& tick) noexcept {
  if (settings.passivity) passivity.Observe(tick.force, tick.ok, tick.position, tick.velocity);
}

// A good tick becomes the one the next force is worked out from. A failed one is
// counted; the run ends when the port failed or after max_failures in a row.
bool ServoLoop::Impl::Judge(RunState& run, const ServoState& tick, std::error_code outcome) noexcept {
  if (!outcome) {
    run.failures_in_a_row = 0;
    run.last = tick;
    run.have_state = true;
    return true;
  }
  failures.Add();
  ++run.failures_in_a_row;
  if (IsPortFailure(outcome)) {
    run.stop_error = outcome;
    run.port_works = false;
    return false;
  }
  if (run.failures_in_a_row >= settings.max_failures) {
    run.stop_error = outcome;
    return false;
  }
  return true;
}

// The next slot; slots that passed entirely while this tick ran are skipped.
void ServoLoop::Impl::Advance(RunState& run) const noexcept {
  ++run.cycle;
  run.deadline += period;
  const int64_t now = Now();
  if (now >= run.deadline + period) {
    const int64_t passed = (now - run.deadline) / period;
    run.skipped = static_cast<uint64_t>(passed);
    run.cycle += run.skipped;
    run.deadline += passed * period;
  }
}

// Sends the last zero force and gives the arm back, before the loop shows as stopped:
// whoever sees it stopped may start another loop on the arm. The force's reply is not
// waited for (a stop takes one time-out at most) but owed on the port, so that the
// caller's next exchange drops it instead of reading it as its own.
void ServoLoop::Impl::Finish(std::error_code stop_error, bool port_works) noexcept {
  std::size_t unread_reply_bytes = 0;
  if (port_works) {
    driver.SendForce(kNoForce);
    if (!driver.LastError()) unread_reply_bytes = 1 + ArmProtocol::kStatePayloadLength;
  }
  DrivenArms::Release(port, unread_reply_bytes);
  const std::lock_guard<std::mutex> hold(status_mutex);
  error = stop_error;
  running.store(false, std::memory_order_release);
  status_changed.notify_all();
}

void ServoLoop::Impl::ResetMeasurements() noexcept {
  history.Restart();
  for (ServoHistogram* histogram : {&period_jitter, &lateness, &round_trip}) histogram->Reset();
  for (Counter* counter : {&cycles, &missed, &failures, &clamped, &non_finite, &passivity_acted}) counter->Reset();
  log_lines_dropped.store(0, std::memory_order_relaxed);
  passivity.Reset();
  passivity_energy.Reset();
  passivity_dissipated.Reset();
}

ServoLoop::ServoLoop(Devices::Morvek3& arm, const ServoSettings& settings)
    : impl_(std::make_unique<Impl>(arm, settings)) {
  LogIfAboveRating(impl_->settings);
}

ServoLoop::~ServoLoop() { Stop(); }

void ServoLoop::Start() {
  Impl& impl = *impl_;
  if (loop_of_this_thread == &impl) throw std::logic_error("the servo loop is running already");
  const std::lock_guard<std::mutex> control(impl.control_mutex);
  if (impl.running.load(std::memory_order_acquire)) throw std::logic_error("the servo loop is running already");
  if (impl.thread.joinable()) impl.thread.join();  // it stopped by itself
  RequireTimeout(impl.port);
  DeferredLog::Start();
  if (!DrivenArms::Claim(impl.port, impl.driver)) {
    throw std::logic_error("a servo loop already drives the arm on " + impl.port.PortPath() +
                           ": stop it before starting another on the same arm");
  }
  impl.ResetMeasurements();
  {
    const std::lock_guard<std::mutex> hold(impl.status_mutex);
    impl.error.clear();
    impl.realtime = RealtimeOutcome();
    impl.set_up = false;
    impl.stop_requested.store(false, std::memory_order_release);
    impl.running.store(true, std::memory_order_release);
  }
  try {
    impl.thread = std::thread([&impl] { impl.Run(); });
  } catch (...) {
    impl.running.store(false, std::memory_order_release);
    DrivenArms::Release(impl.port, 0);
    throw;
  }
  std::unique_lock<std::mutex> hold(impl.status_mutex);
  // A timed wait, in a loop: libstdc++ 12's untimed wait carries a symbol version
  // (GLIBCXX_3.4.30) that older systems' libstdc++ lack, which would narrow the wheels.
  while (!impl.status_changed.wait_for(hold, std::chrono::seconds(1), [&impl] { return impl.set_up; })) {
  }
}

// The request is stored under the control lock: one stored before a Start that is
// under way would be cleared by it, and the join below would never end.
void ServoLoop::Stop() {
  Impl& impl = *impl_;
  if (loop_of_this_thread == &impl) {  // from the callback: ask, the loop ends after this tick
    impl.stop_requested.store(true, std::memory_order_release);
    return;
  }
  const std::lock_guard<std::mutex> control(impl.control_mutex);
  impl.stop_requested.store(true, std::memory_order_release);
  if (impl.thread.joinable()) impl.thread.join();
}

bool ServoLoop::Running() const noexcept { return impl_->running.load(std::memory_order_acquire); }

bool ServoLoop::WaitFor(std::chrono::nanoseconds timeout) const {
  std::unique_lock<std::mutex> hold(impl_->status_mutex);
  return impl_->status_changed.wait_for(hold, timeout, [this] { return !Running(); });
}

std::error_code ServoLoop::Error() const {
  const std::lock_guard<std::mutex> hold(impl_->status_mutex);
  return impl_->error;
}

void ServoLoop::SetCallback(Callback callback) {
  const auto refuse = [] { throw std::logic_error("the servo loop's callback cannot change while it runs"); };
  if (loop_of_this_thread == impl_.get()) refuse();  // the callback itself: the lock may be held for a join
  const std::lock_guard<std::mutex> control(impl_->control_mutex);
  if (Running()) refuse();
  impl_->callback = std::move(callback);
}

bool ServoLoop::Add(std::shared_ptr<Effect> effect) {
  if (!effect) throw std::invalid_argument("a servo loop cannot add a null effect");
  return impl_->effects.Add(std::move(effect));
}

bool ServoLoop::Remove(const std::shared_ptr<Effect>& effect) { return impl_->effects.Remove(effect); }

void ServoLoop::Clear() { impl_->effects.Clear(); }

std::vector<std::shared_ptr<Effect>> ServoLoop::Effects() const { return impl_->effects.Snapshot(); }

std::optional<ServoState> ServoLoop::State() const noexcept { return impl_->history.Latest(); }

std::vector<ServoState> ServoLoop::History() const { return impl_->history.Copy(); }

std::vector<ServoState> ServoLoop::ErrorHistory() const {
  if (!Error()) return {};
  std::vector<ServoState> ticks = impl_->history.Copy();
  if (ticks.size() > kErrorHistoryTicks) ticks.erase(ticks.begin(), ticks.end() - kErrorHistoryTicks);
  return ticks;
}

const ServoHistory& ServoLoop::Ticks() const noexcept { return impl_->history; }

ServoStats ServoLoop::Stats() const {
  const Impl& impl = *impl_;
  ServoStats stats;
  stats.cycles = impl.cycles.Get();
  stats.missed = impl.missed.Get();
  stats.failures = impl.failures.Get();
  stats.clamped = impl.clamped.Get();
  stats.non_finite = impl.non_finite.Get();
  stats.log_lines_dropped = impl.log_lines_dropped.load(std::memory_order_relaxed);
  stats.passivity_energy = impl.passivity_energy.Get();
  stats.passivity_acted = impl.passivity_acted.Get();
  stats.passivity_dissipated = impl.passivity_dissipated.Get();
  stats.period_jitter_us = impl.period_jitter.Summary();
  stats.lateness_us = impl.lateness.Summary();
  stats.round_trip_us = impl.round_trip.Summary();
  const std::lock_guard<std::mutex> hold(impl.status_mutex);
  stats.realtime = impl.realtime.scheduling;
  stats.memory_locked = impl.realtime.memory_locked;
  stats.realtime_note = impl.realtime.note;
  return stats;
}

float ServoLoop::StableStiffness(float damping) const {
  if (!std::isfinite(damping)) throw std::invalid_argument("servo loop: the damping must be a finite number");
  return StableStiffnessFor(impl_->settings, damping);
}

const ServoSettings& ServoLoop::Settings() const noexcept { return impl_->settings; }

std::size_t ServoLoop::HistorySize() const noexcept { return impl_->history.Size(); }

Devices::Morvek3& ServoLoop::Arm() const noexcept { return impl_->arm; }

}  // namespace Tavix::HardwareAPI::Servo
