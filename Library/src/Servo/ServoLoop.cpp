#include "Tavix/HardwareAPI/Servo/ServoLoop.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

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

ServoSettings Checked(const ServoSettings& settings) {
  const auto refuse = [](const std::string& what) { throw std::invalid_argument("servo loop: " + what); };
  if (!(settings.rate_hz >= 1.0 && settings.rate_hz <= 10000.0)) refuse("rate_hz must be between 1 and 10000");
  if (!(settings.max_force > 0.0f) || !std::isfinite(settings.max_force)) {
    refuse("max_force must be a finite number above 0");
  }
  if (settings.realtime_priority < 1 || settings.realtime_priority > 99) {
    refuse("realtime_priority must be between 1 and 99");
  }
  if (settings.max_failures < 1) refuse("max_failures must be at least 1");
  if (settings.history_size > kLargestHistory) refuse("history_size must be at most 10000000");
  if (!(settings.ramp_seconds >= 0.0 && settings.ramp_seconds <= 60.0)) {
    refuse("ramp_seconds must be between 0 and 60");
  }
  return settings;
}

std::size_t HistorySizeFor(const ServoSettings& settings) {
  if (settings.history_size > 0) return settings.history_size;
  return static_cast<std::size_t>(std::llround(kHistorySeconds * settings.rate_hz));
}

// A count that one thread (the loop's) increases and any thread reads.
class Counter {
 public:
  void Add(uint64_t amount = 1) noexcept {
    value_.store(value_.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
  }
  void Reset() noexcept { value_.store(0, std::memory_order_relaxed); }
  uint64_t Get() const noexcept { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> value_{0};
};

// The effects a loop renders: an immutable list, replaced whole by writers, which the
// loop reads every tick without waiting. The loop marks the list it reads (a hazard
// pointer); a writer that replaced a list frees it once the loop no longer marks it,
// which the loop clears right after the sum, so a writer waits a few microseconds at
// most, and the loop's thread never frees a list.
class EffectList {
 public:
  using Effects = std::vector<std::shared_ptr<Effect>>;

  EffectList() = default;
  ~EffectList() { delete current_.load(); }
  EffectList(const EffectList&) = delete;
  EffectList& operator=(const EffectList&) = delete;

  // The loop's thread: calls `visit` for each effect.
  template <typename Visit>
  void ForEach(Visit&& visit) noexcept {
    const Effects* effects = current_.load();
    for (;;) {
      hazard_.store(effects);
      const Effects* again = current_.load();
      if (again == effects) break;
      effects = again;
    }
    if (effects != nullptr) {
      for (const std::shared_ptr<Effect>& effect : *effects) visit(*effect);
    }
    hazard_.store(nullptr);
  }

  bool Add(std::shared_ptr<Effect> effect) {
    const std::lock_guard<std::mutex> hold(writer_);
    const Effects* effects = current_.load();
    if (effects != nullptr && std::find(effects->begin(), effects->end(), effect) != effects->end()) return false;
    auto fresh = effects != nullptr ? std::make_unique<Effects>(*effects) : std::make_unique<Effects>();
    fresh->push_back(std::move(effect));
    Replace(fresh.release());
    return true;
  }

  bool Remove(const std::shared_ptr<Effect>& effect) {
    const std::lock_guard<std::mutex> hold(writer_);
    const Effects* effects = current_.load();
    if (effects == nullptr) return false;
    const auto found = std::find(effects->begin(), effects->end(), effect);
    if (found == effects->end()) return false;
    auto fresh = std::make_unique<Effects>(*effects);
    fresh->erase(fresh->begin() + (found - effects->begin()));
    Replace(fresh->empty() ? nullptr : fresh.release());
    return true;
  }

  void Clear() {
    const std::lock_guard<std::mutex> hold(writer_);
    if (current_.load() != nullptr) Replace(nullptr);
  }

  Effects Snapshot() const {
    const std::lock_guard<std::mutex> hold(writer_);  // lists are freed under it only
    const Effects* effects = current_.load();
    return effects != nullptr ? *effects : Effects();
  }

 private:
  // With writer_ held. Sequentially consistent throughout: the loop's store of the
  // hazard and its second look at the list pair with the exchange and the look at the
  // hazard here.
  void Replace(const Effects* fresh) noexcept {
    const Effects* old = current_.exchange(fresh);
    while (old != nullptr && hazard_.load() == old) std::this_thread::yield();
    delete old;
  }

  std::atomic<const Effects*> current_{nullptr};  // null: no effects
  std::atomic<const Effects*> hazard_{nullptr};   // the list the loop is reading
  mutable std::mutex writer_;
};

Vector3 Sum(const Vector3& a, const Vector3& b) noexcept { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }

Vector3 Scaled(const Vector3& vector, double factor) noexcept {
  return {static_cast<float>(vector[0] * factor), static_cast<float>(vector[1] * factor),
          static_cast<float>(vector[2] * factor)};
}

bool IsPortFailure(const std::error_code& error) noexcept { return error.category() == std::system_category(); }

}  // namespace

struct ServoLoop::Impl {
  Impl(Devices::Morvek3& arm_, const ServoSettings& settings_)
      : arm(arm_),
        port(RequirePort(arm_)),
        settings(Checked(settings_)),
        period(std::llround(static_cast<double>(kSecond) / settings.rate_hz)),
        history(HistorySizeFor(settings)) {}

  void Run() noexcept;
  void Setup() noexcept;
  // The force for the tick about to send, worked out from the last good tick and made
  // safe (before the ramp). False if the callback threw.
  bool Command(const ServoState& last, Vector3& force) noexcept;
  void Finish(std::error_code error, bool port_works) noexcept;
  void ResetMeasurements() noexcept;

  Devices::Morvek3& arm;
  IO::Port& port;
  const ServoSettings settings;
  const int64_t period;  // ns
  Callback callback;

  ServoHistory history;
  ServoHistogram period_jitter, lateness, round_trip;
  Counter cycles, missed, failures, clamped, non_finite;
  EffectList effects;

  std::thread thread;
  std::atomic<bool> stop_requested{false};
  std::atomic<bool> running{false};

  // Changed at a start and at the end of a run only, never during a tick.
  mutable std::mutex status_mutex;
  mutable std::condition_variable status_changed;
  bool set_up = false;
  std::error_code error;
  RealtimeOutcome realtime;
};

void ServoLoop::Impl::ResetMeasurements() noexcept {
  history.Restart();
  for (ServoHistogram* histogram : {&period_jitter, &lateness, &round_trip}) histogram->Reset();
  for (Counter* counter : {&cycles, &missed, &failures, &clamped, &non_finite}) counter->Reset();
}

void ServoLoop::Impl::Setup() noexcept {
  NarrowTimerSlack();
  RealtimeOutcome outcome;
  if (settings.realtime) outcome = EnterRealtime(settings.realtime_priority, settings.lock_memory);
  const std::lock_guard<std::mutex> hold(status_mutex);
  realtime = std::move(outcome);
  set_up = true;
  status_changed.notify_all();
}

bool ServoLoop::Impl::Command(const ServoState& last, Vector3& force) noexcept {
  Vector3 sum = kNoForce;
  effects.ForEach([&](const Effect& effect) { sum = Sum(sum, effect.Force(last.position, last.velocity)); });
  if (callback) {
    try {
      sum = Sum(sum, callback(last));
    } catch (...) {
      return false;
    }
  }
  if (!std::isfinite(sum[0]) || !std::isfinite(sum[1]) || !std::isfinite(sum[2])) {
    non_finite.Add();
    sum = kNoForce;
  }
  const double magnitude = std::sqrt(static_cast<double>(sum[0]) * sum[0] + static_cast<double>(sum[1]) * sum[1] +
                                     static_cast<double>(sum[2]) * sum[2]);
  if (magnitude > settings.max_force) {
    clamped.Add();
    sum = Scaled(sum, settings.max_force / magnitude);
  }
  force = sum;
  return true;
}

void ServoLoop::Impl::Run() noexcept {
  Setup();
  const int64_t start = Now();
  int64_t deadline = start;
  uint64_t cycle = 0;
  uint64_t skipped = 0;  // slots passed before the next tick
  int64_t previous_begin = 0;
  uint64_t previous_cycle = 0;
  ServoState last;  // the last tick whose exchange succeeded
  bool have_state = false;
  int failures_in_a_row = 0;
  std::error_code stop_error;
  bool port_works = true;

  for (;;) {
    // Sleep to the deadline, in slices for slow rates so that Stop is heard.
    while (!stop_requested.load(std::memory_order_acquire) && deadline - Now() > kLongestSleep) {
      SleepUntil(Now() + kLongestSleep);
    }
    if (stop_requested.load(std::memory_order_acquire)) break;
    SleepUntil(deadline);
    if (stop_requested.load(std::memory_order_acquire)) break;

    const int64_t begin = Now();
    // Counted when the tick after them begins, so that a stop leaves none half-counted.
    missed.Add(skipped);
    skipped = 0;
    lateness.Record(begin - deadline);
    if (cycle > 0 && previous_cycle + 1 == cycle) period_jitter.Record(std::llabs(begin - previous_begin - period));
    previous_begin = begin;
    previous_cycle = cycle;

    ServoState tick;
    tick.cycle = cycle;
    tick.time = static_cast<double>(begin - start) / kSecond;
    tick.lateness_us = static_cast<float>(begin - deadline) / 1000.0f;
    tick.force = kNoForce;
    if (have_state && failures_in_a_row == 0) {
      if (!Command(last, tick.force)) {
        stop_error = std::make_error_code(std::errc::operation_canceled);
        break;
      }
      if (settings.ramp_seconds > 0.0 && tick.time < settings.ramp_seconds) {
        tick.force = Scaled(tick.force, tick.time / settings.ramp_seconds);
      }
    }

    const int64_t sent = Now();
    const Devices::ArmState reply = arm.EndEffectorForce(tick.force);
    const int64_t received = Now();
    const std::error_code outcome = arm.LastError();
    round_trip.Record(received - sent);
    tick.round_trip_us = static_cast<float>(received - sent) / 1000.0f;
    tick.ok = !outcome;
    tick.position = tick.ok ? reply.position : last.position;
    tick.velocity = tick.ok ? reply.velocity : last.velocity;
    history.Append(tick);
    cycles.Add();

    if (outcome) {
      failures.Add();
      ++failures_in_a_row;
      if (IsPortFailure(outcome)) {
        stop_error = outcome;
        port_works = false;
        break;
      }
      if (failures_in_a_row >= settings.max_failures) {
        stop_error = outcome;
        break;
      }
    } else {
      failures_in_a_row = 0;
      last = tick;
      have_state = true;
    }

    // The next slot; slots that passed entirely while this tick ran are skipped.
    ++cycle;
    deadline += period;
    const int64_t now = Now();
    if (now >= deadline + period) {
      const int64_t passed = (now - deadline) / period;
      skipped = static_cast<uint64_t>(passed);
      cycle += skipped;
      deadline += passed * period;
    }
  }
  Finish(stop_error, port_works);
}

void ServoLoop::Impl::Finish(std::error_code stop_error, bool port_works) noexcept {
  if (port_works) arm.SendForce(kNoForce);
  const std::lock_guard<std::mutex> hold(status_mutex);
  error = stop_error;
  running.store(false, std::memory_order_release);
  status_changed.notify_all();
}

ServoLoop::ServoLoop(Devices::Morvek3& arm, const ServoSettings& settings)
    : impl_(std::make_unique<Impl>(arm, settings)) {}

ServoLoop::~ServoLoop() { Stop(); }

void ServoLoop::Start() {
  Impl& impl = *impl_;
  if (impl.running.load(std::memory_order_acquire)) throw std::logic_error("the servo loop is running already");
  if (impl.thread.joinable()) impl.thread.join();  // it stopped by itself
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
    throw;
  }
  std::unique_lock<std::mutex> hold(impl.status_mutex);
  // A timed wait, in a loop: libstdc++ 12's untimed wait carries a symbol version
  // (GLIBCXX_3.4.30) that older systems' libstdc++ lack, which would narrow the wheels.
  while (!impl.status_changed.wait_for(hold, std::chrono::seconds(1), [&impl] { return impl.set_up; })) {
  }
}

void ServoLoop::Stop() {
  Impl& impl = *impl_;
  impl.stop_requested.store(true, std::memory_order_release);
  if (!impl.thread.joinable() || impl.thread.get_id() == std::this_thread::get_id()) return;
  impl.thread.join();
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
  if (Running()) throw std::logic_error("the servo loop's callback cannot change while it runs");
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

ServoStats ServoLoop::Stats() const {
  const Impl& impl = *impl_;
  ServoStats stats;
  stats.cycles = impl.cycles.Get();
  stats.missed = impl.missed.Get();
  stats.failures = impl.failures.Get();
  stats.clamped = impl.clamped.Get();
  stats.non_finite = impl.non_finite.Get();
  stats.period_jitter_us = impl.period_jitter.Summary();
  stats.lateness_us = impl.lateness.Summary();
  stats.round_trip_us = impl.round_trip.Summary();
  const std::lock_guard<std::mutex> hold(impl.status_mutex);
  stats.realtime = impl.realtime.scheduling;
  stats.memory_locked = impl.realtime.memory_locked;
  stats.realtime_note = impl.realtime.note;
  return stats;
}

const ServoSettings& ServoLoop::Settings() const noexcept { return impl_->settings; }

std::size_t ServoLoop::HistorySize() const noexcept { return impl_->history.Size(); }

Devices::Morvek3& ServoLoop::Arm() const noexcept { return impl_->arm; }

}  // namespace Tavix::HardwareAPI::Servo
