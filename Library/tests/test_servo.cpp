#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "CheckedSimulator.h"
#include "PtyPeer.h"
#include "StderrCapture.h"
#include "Servo/ServoHistogram.h"
#include "Tavix/HardwareAPI/Devices/Morvek3.h"
#include "Tavix/HardwareAPI/IO/Port.h"
#include "Tavix/HardwareAPI/IO/SerialStream.h"
#include "Tavix/HardwareAPI/Servo/ConstantForce.h"
#include "Tavix/HardwareAPI/Servo/ServoLoop.h"

using namespace Tavix::HardwareAPI;
using namespace Tavix::HardwareAPI::Servo;
using namespace Tavix::Testing;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kReplyTimeout = 0.2;  // s: the port's time-out in these tests
const Vector3 kPosition{0.01f, 0.02f, 0.03f};

// An arm played on a pseudo-terminal by a thread of the test: it answers each force
// request with the state kPosition and, as its velocity, the force it was sent (so a
// reply tells which request it answers), and keeps the forces it was sent. It can fall
// silent, answer late, and hang up when a request comes after a given number of answers.
class PlayedArm {
 public:
  explicit PlayedArm(long hang_up_after = -1) : hang_up_after_(hang_up_after), thread_([this] { Play(); }) {}
  ~PlayedArm() {
    done_ = true;
    thread_.join();
  }

  const std::string& Path() const { return peer_.Path(); }
  void FallSilent() { answering_ = false; }
  void AnswerLate(std::chrono::milliseconds delay) { delay_ms_ = delay.count(); }

  std::vector<Vector3> Forces() const {
    const std::lock_guard<std::mutex> hold(mutex_);
    return forces_;
  }

  // Waits until `count` requests have come; false if they do not within 5 s.
  bool AwaitRequests(std::size_t count) const {
    const auto give_up = Clock::now() + std::chrono::seconds(5);
    while (Forces().size() < count) {
      if (Clock::now() > give_up) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  // When it hung up; the epoch until it has.
  Clock::time_point HungUpAt() const {
    const std::lock_guard<std::mutex> hold(mutex_);
    return hung_up_at_;
  }

 private:
  void Play() {
    Bytes request;
    while (!done_) {
      const Bytes part = peer_.Receive(13 - request.size(), Millis(10));
      request.insert(request.end(), part.begin(), part.end());
      if (request.size() < 13) continue;
      Vector3 force;
      std::memcpy(force.data(), &request[1], sizeof force);
      request.clear();
      const std::lock_guard<std::mutex> hold(mutex_);
      if (hang_up_after_ >= 0 && static_cast<long>(forces_.size()) == hang_up_after_) {
        peer_.HangUp();
        hung_up_at_ = Clock::now();
        return;
      }
      forces_.push_back(force);
      if (answering_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms_.load()));
        peer_.Send(Join({{0x2B}, FloatBytes({kPosition[0], kPosition[1], kPosition[2], force[0], force[1], force[2]})}));
      }
    }
  }

  PtyPeer peer_;
  const long hang_up_after_;
  std::atomic<bool> answering_{true};
  std::atomic<long> delay_ms_{0};
  std::atomic<bool> done_{false};
  mutable std::mutex mutex_;
  std::vector<Vector3> forces_;
  Clock::time_point hung_up_at_{};
  std::thread thread_;
};

// A Morvek3 on a Port (with the time-out `timeout`) to a PlayedArm.
struct PlayedMorvek3 {
  explicit PlayedMorvek3(double timeout = kReplyTimeout, long hang_up_after = -1)
      : device(hang_up_after), port(device.Path(), timeout), arm(&port) {}

  PlayedArm device;
  IO::Port port;
  Devices::Morvek3 arm;
};

// Waits until the loop has run `cycles` ticks; false if it does not within 5 s.
bool AwaitCycles(const ServoLoop& loop, uint64_t cycles) {
  const auto give_up = Clock::now() + std::chrono::seconds(5);
  while (loop.Stats().cycles < cycles) {
    if (Clock::now() > give_up || !loop.Running()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Starts `loop` with a constant `force` as its effect and waits for its first 5 ticks;
// false if they do not come within 5 s.
bool StartWithConstantForce(ServoLoop& loop, const Vector3& force) {
  loop.Add(std::make_shared<ConstantForce>(force));
  loop.Start();
  return AwaitCycles(loop, 5);
}

ServoSettings NoRamp() {
  ServoSettings settings;
  settings.ramp_seconds = 0.0;
  return settings;
}

}  // namespace

TEST(ServoLoop, RefusesAnArmOnAPlainStreamAndSettingsOutOfRange) {
  PtyPeer peer;
  IO::SerialStream stream(peer.Path().c_str());
  Devices::Morvek3 plain_arm(&stream);
  EXPECT_THROW(ServoLoop loop(plain_arm), std::invalid_argument);

  PlayedMorvek3 played;
  const auto refused = [&](void (*change)(ServoSettings&)) {
    ServoSettings settings;
    change(settings);
    EXPECT_THROW(ServoLoop loop(played.arm, settings), std::invalid_argument);
  };
  refused([](ServoSettings& s) { s.rate_hz = 0.5; });
  refused([](ServoSettings& s) { s.rate_hz = 20000.0; });
  refused([](ServoSettings& s) { s.rate_hz = std::numeric_limits<double>::quiet_NaN(); });
  refused([](ServoSettings& s) { s.max_force = 0.0f; });
  refused([](ServoSettings& s) { s.max_force = std::numeric_limits<float>::infinity(); });
  refused([](ServoSettings& s) { s.rated_peak_force = 0.0f; });
  refused([](ServoSettings& s) { s.rated_peak_force = std::numeric_limits<float>::quiet_NaN(); });
  refused([](ServoSettings& s) { s.max_failures = 0; });
  refused([](ServoSettings& s) { s.realtime_priority = 100; });
  refused([](ServoSettings& s) { s.ramp_seconds = -1.0; });
  refused([](ServoSettings& s) { s.device_damping = -1.0f; });
  refused([](ServoSettings& s) { s.device_damping = std::numeric_limits<float>::quiet_NaN(); });
  refused([](ServoSettings& s) { s.spin_us = -1.0; });
  refused([](ServoSettings& s) { s.spin_us = 1001.0; });  // more than the 1 ms period
  refused([](ServoSettings& s) { s.cpu = -2; });
  refused([](ServoSettings& s) { s.cpu = static_cast<int>(sysconf(_SC_NPROCESSORS_CONF)); });
  EXPECT_EQ(ServoLoop(played.arm).HistorySize(), 10000u);  // 10 s at 1 kHz
}

// A max_force above the arm's rating is taken, and said once per loop made.
TEST(ServoLoop, LogsOneLineForEachLoopMadeWithAMaxForceAboveTheRatedPeakForce) {
  PlayedMorvek3 played;
  ServoSettings strong;
  strong.max_force = 1e6f;
  ServoSettings rated_higher = strong;
  rated_higher.rated_peak_force = 1e6f;
  StderrCapture log_lines;
  Devices::Morvek3& arm = played.arm;
  ServoLoop first(arm, strong), second(arm, strong), quiet(arm), quiet_too(arm, rated_higher);
  const std::vector<std::string> lines = log_lines.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("[err] Library/src/ServoLoop:", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("max_force 1e+06 N is above the arm's rated peak force of 10 N"), std::string::npos)
      << lines[0];
  EXPECT_EQ(first.Settings().max_force, 1e6f);
}

TEST(ServoLoop, RefusesAPortWithoutATimeOutWhenMadeAndWhenStarted) {
  PlayedMorvek3 played(0.0);  // no limit: a silent arm would hold Stop forever
  EXPECT_THROW(ServoLoop loop(played.arm), std::invalid_argument);

  played.port.SetTimeout(kReplyTimeout);
  ServoLoop loop(played.arm);
  played.port.SetTimeout(0.0);  // taken away after the loop was made
  EXPECT_THROW(loop.Start(), std::invalid_argument);
  EXPECT_FALSE(loop.Running());
}

TEST(ServoLoop, RefusesToStartOnAnArmThatAnotherLoopDrivesUntilThatOneStops) {
  PlayedMorvek3 played;
  Devices::Morvek3 same_arm(&played.port);  // another object on the same port: the same arm
  ServoLoop first(played.arm), second(played.arm), third(same_arm);
  first.Start();
  EXPECT_THROW(second.Start(), std::logic_error);
  EXPECT_THROW(third.Start(), std::logic_error);
  EXPECT_FALSE(second.Running());
  ASSERT_TRUE(AwaitCycles(first, 20));  // undisturbed
  first.Stop();
  EXPECT_FALSE(first.Error());

  second.Start();  // the arm is free again
  ASSERT_TRUE(AwaitCycles(second, 5));
  second.Stop();
  EXPECT_FALSE(second.Error());
}

// The arm is the loop's while it runs: a call on it, or on another object on its port,
// fails at once and sends nothing; once the loop has stopped the same calls go through.
TEST(ServoLoop, OwnsTheArmWhileItRunsRefusingEveryOtherCallWithoutSendingAnything) {
  PlayedMorvek3 played;
  Devices::Morvek3 same_arm(&played.port);
  ServoLoop loop(played.arm, NoRamp());  // no effects: the loop sends zero forces only
  const Vector3 mine{1.0f, 2.0f, 3.0f};
  loop.Start();
  EXPECT_TRUE(played.port.Driven());
  ASSERT_TRUE(AwaitCycles(loop, 5));

  const auto start = Clock::now();
  const Devices::ArmState refused = played.arm.EndEffectorForce(mine);
  EXPECT_EQ(played.arm.LastError(), std::errc::device_or_resource_busy);
  EXPECT_EQ(refused.position, Devices::ArmState().position);
  same_arm.SendForce(mine);
  EXPECT_EQ(same_arm.LastError(), std::errc::device_or_resource_busy);
  EXPECT_EQ(same_arm.GetTemperature(), 0.0f);  // a request the played arm cannot parse
  EXPECT_EQ(same_arm.LastError(), std::errc::device_or_resource_busy);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(50));  // no wait for a reply
  ASSERT_TRUE(AwaitCycles(loop, loop.Stats().cycles + 5));  // undisturbed
  EXPECT_EQ(loop.Stats().failures, 0u);

  loop.Stop();
  EXPECT_FALSE(played.port.Driven());
  const std::size_t sent_by_loop = played.device.Forces().size();
  for (const Vector3& force : played.device.Forces()) EXPECT_EQ(force, (Vector3{0.0f, 0.0f, 0.0f}));
  const Devices::ArmState state = played.arm.EndEffectorForce(mine);  // free again
  EXPECT_FALSE(played.arm.LastError());
  EXPECT_EQ(state.position, kPosition);
  ASSERT_TRUE(played.device.AwaitRequests(sent_by_loop + 1));
  EXPECT_EQ(played.device.Forces().back(), mine);
}

TEST(ServoLoop, TheReplyToItsLastZeroForceIsNotTakenByTheNextCallersExchange) {
  PlayedMorvek3 played;
  Devices::Morvek3 same_arm(&played.port);
  ServoLoop loop(played.arm, NoRamp());
  loop.Start();
  ASSERT_TRUE(AwaitCycles(loop, 5));
  played.device.AnswerLate(std::chrono::milliseconds(50));  // well within the time-out
  loop.Stop();  // does not wait for the reply to its zero force

  const Vector3 mine{1.0f, 2.0f, 3.0f};
  const Devices::ArmState state = same_arm.EndEffectorForce(mine);
  EXPECT_FALSE(same_arm.LastError());
  EXPECT_EQ(state.velocity, mine);  // the reply to this request, not the loop's last
}

TEST(ServoLoop, RunsTicksOnTheGridUntilStoppedThenSendsZeroForceOnce) {
  PlayedMorvek3 played;
  ServoLoop loop(played.arm, NoRamp());
  loop.Add(std::make_shared<ConstantForce>(Vector3{0.0f, 0.0f, 1.0f}));
  EXPECT_FALSE(loop.State());

  loop.Start();
  EXPECT_TRUE(loop.Running());
  EXPECT_THROW(loop.Start(), std::logic_error);
  ASSERT_TRUE(AwaitCycles(loop, 20));
  loop.Stop();
  EXPECT_FALSE(loop.Running());
  EXPECT_FALSE(loop.Error());

  const ServoStats stats = loop.Stats();
  const std::vector<ServoState> history = loop.History();
  ASSERT_EQ(history.size(), stats.cycles);
  EXPECT_EQ(stats.cycles + stats.missed, history.back().cycle + 1);
  EXPECT_EQ(stats.failures, 0u);
  EXPECT_FALSE(stats.realtime);
  EXPECT_EQ(stats.realtime_note, "");
  for (std::size_t i = 0; i < history.size(); ++i) {
    EXPECT_TRUE(history[i].ok);
    EXPECT_EQ(history[i].position, kPosition);
    // A tick never begins before its deadline: start + cycle x 1 ms.
    EXPECT_GE(history[i].time, history[i].cycle / 1000.0);
    if (i > 0) {
      EXPECT_GT(history[i].cycle, history[i - 1].cycle);
    }
  }
  EXPECT_EQ(loop.State()->cycle, history.back().cycle);

  // The first tick has no state to work from; the others send the effect's force; and
  // the stop sends one zero force.
  ASSERT_TRUE(played.device.AwaitRequests(history.size() + 1));
  const std::vector<Vector3> forces = played.device.Forces();
  ASSERT_EQ(forces.size(), history.size() + 1);
  EXPECT_EQ(forces.front(), (Vector3{0.0f, 0.0f, 0.0f}));
  for (std::size_t i = 1; i < history.size(); ++i) EXPECT_EQ(forces[i], (Vector3{0.0f, 0.0f, 1.0f}));
  EXPECT_EQ(forces.back(), (Vector3{0.0f, 0.0f, 0.0f}));
  EXPECT_GT(stats.round_trip_us.p50, 0.0);
  EXPECT_GE(stats.round_trip_us.max, stats.round_trip_us.p99);
}

TEST(ServoLoop, ClampsTheForceToMaxForceKeepingItsDirection) {
  PlayedMorvek3 played;
  ServoSettings settings = NoRamp();
  settings.max_force = 5.0f;
  ServoLoop loop(played.arm, settings);
  ASSERT_TRUE(StartWithConstantForce(loop, {30.0f, 40.0f, 0.0f}));
  loop.Stop();

  const std::vector<ServoState> history = loop.History();
  EXPECT_EQ(loop.Stats().clamped, history.size() - 1);  // every tick but the first
  for (std::size_t i = 1; i < history.size(); ++i) {
    EXPECT_NEAR(history[i].force[0], 3.0f, 1e-6);
    EXPECT_NEAR(history[i].force[1], 4.0f, 1e-6);
    EXPECT_EQ(history[i].force[2], 0.0f);
    EXPECT_EQ(played.device.Forces()[i], history[i].force);  // what went on the wire
  }
}

TEST(ServoLoop, ReplacesAForceThatIsNotFiniteByZero) {
  PlayedMorvek3 played;
  ServoLoop loop(played.arm, NoRamp());
  loop.SetCallback([](const ServoState&) { return Vector3{1.0f, std::nanf(""), 0.0f}; });
  loop.Start();
  ASSERT_TRUE(AwaitCycles(loop, 5));
  loop.Stop();

  const std::vector<ServoState> history = loop.History();
  EXPECT_EQ(loop.Stats().non_finite, history.size() - 1);
  for (const ServoState& tick : history) EXPECT_EQ(tick.force, (Vector3{0.0f, 0.0f, 0.0f}));
}

TEST(ServoLoop, RampsTheForceInOverTheFirstTenthOfASecond) {
  PlayedMorvek3 played;
  ServoLoop loop(played.arm);  // ramp_seconds 0.1 by default
  ASSERT_TRUE(StartWithConstantForce(loop, {2.0f, 0.0f, 0.0f}));
  while (loop.Running() && loop.State()->time < 0.15) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  loop.Stop();

  bool ramping = false;
  bool full = false;
  const std::vector<ServoState> history = loop.History();
  for (std::size_t i = 1; i < history.size(); ++i) {
    const ServoState& tick = history[i];
    const double expected = 2.0 * std::min(1.0, tick.time / 0.1);
    EXPECT_NEAR(tick.force[0], expected, 1e-5) << "at " << tick.time << " s";
    ramping = ramping || (tick.force[0] > 0.0f && tick.force[0] < 2.0f);
    full = full || tick.force[0] == 2.0f;
  }
  EXPECT_TRUE(ramping);
  EXPECT_TRUE(full);
}

TEST(ServoLoop, AddsTheCallbacksForceToTheEffectsGivenTheLastTick) {
  PlayedMorvek3 played;
  ServoLoop loop(played.arm, NoRamp());
  std::vector<uint64_t> seen;  // the loop's thread only, until it is stopped
  seen.reserve(10000);
  loop.SetCallback([&seen](const ServoState& last) {
    seen.push_back(last.cycle);
    return Vector3{last.position[0], 0.0f, 0.0f};
  });
  loop.Add(std::make_shared<ConstantForce>(Vector3{0.0f, 1.0f, 0.0f}));
  loop.Start();
  EXPECT_THROW(loop.SetCallback(nullptr), std::logic_error);
  ASSERT_TRUE(AwaitCycles(loop, 5));
  loop.Stop();

  const std::vector<ServoState> history = loop.History();
  ASSERT_EQ(seen.size(), history.size() - 1);
  for (std::size_t i = 1; i < history.size(); ++i) {
    EXPECT_EQ(seen[i - 1], history[i - 1].cycle);
    EXPECT_EQ(history[i].force, (Vector3{kPosition[0], 1.0f, 0.0f}));
  }
}

TEST(ServoLoop, SendsZeroForceAfterAFailedExchangeAndStopsAfterMaxFailuresInARow) {
  const StderrCapture log_lines;  // one per failed exchange
  PlayedMorvek3 played(0.02);
  ServoSettings settings = NoRamp();
  settings.max_failures = 3;
  ServoLoop loop(played.arm, settings);
  ASSERT_TRUE(StartWithConstantForce(loop, {1.0f, 0.0f, 0.0f}));
  played.device.FallSilent();
  ASSERT_TRUE(loop.WaitFor(std::chrono::seconds(5)));

  EXPECT_EQ(loop.Error(), Devices::DeviceErrc::timed_out);
  const ServoStats stats = loop.Stats();
  EXPECT_EQ(stats.failures, 3u);
  const std::vector<ServoState> history = loop.History();
  ASSERT_EQ(history.size(), stats.cycles);
  std::vector<ServoState> failed;
  std::copy_if(history.begin(), history.end(), std::back_inserter(failed), [](const ServoState& s) { return !s.ok; });
  ASSERT_EQ(failed.size(), 3u);
  EXPECT_EQ(failed[0].force, (Vector3{1.0f, 0.0f, 0.0f}));  // sent before the silence
  EXPECT_EQ(failed[1].force, (Vector3{0.0f, 0.0f, 0.0f}));
  EXPECT_EQ(failed[2].force, (Vector3{0.0f, 0.0f, 0.0f}));
  EXPECT_EQ(failed[2].position, kPosition);  // the last position that came
  ASSERT_TRUE(played.device.AwaitRequests(history.size() + 1));
  EXPECT_EQ(played.device.Forces().back(), (Vector3{0.0f, 0.0f, 0.0f}));  // the stop's zero force
}

TEST(ServoLoop, StopsWithinFiftyMillisecondsOfAHangUpAndSendsNothingMore) {
  const StderrCapture log_lines;  // one per failed exchange
  for (const bool spin_reply : {false, true}) {
    SCOPED_TRACE(spin_reply ? "spinning wait for the reply" : "sleeping wait for the reply");
    // The default 5 s time-out: only the hang-up ends the wait soon.
    PlayedMorvek3 played(IO::Port::kDefaultTimeout, /*hang_up_after=*/50);
    ServoSettings settings;
    settings.spin_reply = spin_reply;
    ServoLoop loop(played.arm, settings);
    loop.Start();
    ASSERT_TRUE(loop.WaitFor(std::chrono::seconds(5)));
    const auto stopped_at = Clock::now();

    EXPECT_EQ(loop.Error(), std::error_code(EIO, std::system_category()));
    EXPECT_LT(stopped_at - played.device.HungUpAt(), std::chrono::milliseconds(50));
    EXPECT_EQ(loop.Stats().cycles, 51u);
    EXPECT_EQ(played.device.Forces().size(), 50u);
  }
}

TEST(ServoLoop, KeepsTheLastHundredTicksBeforeAFailureThatStoppedIt) {
  const StderrCapture log_lines;
  PlayedMorvek3 played(kReplyTimeout, /*hang_up_after=*/150);
  ServoLoop loop(played.arm);
  loop.Start();
  ASSERT_TRUE(loop.WaitFor(std::chrono::seconds(5)));

  const std::vector<ServoState> flight = loop.ErrorHistory();
  const std::vector<ServoState> history = loop.History();
  ASSERT_EQ(flight.size(), ServoLoop::kErrorHistoryTicks);
  EXPECT_FALSE(flight.back().ok);
  EXPECT_TRUE(flight[flight.size() - 2].ok);
  EXPECT_EQ(flight.front().cycle, history[history.size() - flight.size()].cycle);
  EXPECT_EQ(flight.back().cycle, history.back().cycle);
}

TEST(ServoLoop, KeepsItsGridWithEveryOptionThatTradesCpuForTiming) {
  PlayedMorvek3 played;
  ServoSettings settings = NoRamp();
  settings.spin_us = 300.0;
  settings.spin_reply = true;
  settings.cpu = 0;
  ServoLoop loop(played.arm, settings);
  ASSERT_TRUE(StartWithConstantForce(loop, {0.0f, 0.0f, 1.0f}));
  loop.Stop();

  EXPECT_EQ(loop.Stats().failures, 0u);
  EXPECT_TRUE(loop.ErrorHistory().empty());  // stopped as asked
  EXPECT_EQ(loop.Stats().realtime_note, "pinned to CPU 0");
  for (const ServoState& tick : loop.History()) {
    EXPECT_TRUE(tick.ok);
    EXPECT_GE(tick.time, tick.cycle / 1000.0);  // spinning never starts a tick early
  }
}

TEST(ServoLoop, StopReturnsWithinOneTimeOutWhileBlockedOnASilentDevice) {
  const StderrCapture log_lines;  // one per failed exchange
  constexpr double kTimeout = 0.5;
  PlayedMorvek3 played(kTimeout);
  played.device.FallSilent();
  ServoLoop loop(played.arm);
  loop.Start();
  ASSERT_TRUE(played.device.AwaitRequests(1));  // the loop now waits for the reply

  const auto asked = Clock::now();
  loop.Stop();
  const auto took = Clock::now() - asked;

  EXPECT_LT(took, std::chrono::duration<double>(kTimeout + 0.25));
  EXPECT_FALSE(loop.Running());
  EXPECT_FALSE(loop.Error());  // stopped as asked
  EXPECT_EQ(loop.Stats().failures, 1u);
}

TEST(ServoLoop, SkipsAndCountsTheTicksASlowExchangeRanPast) {
  CheckedSimulator simulator({"arm", "--reply-delay-us", "2500"});
  IO::Port port(simulator.PortPath(), kReplyTimeout);
  Devices::Morvek3 arm(&port);
  ServoLoop loop(arm);  // 1 ms ticks, 2.5 ms exchanges
  loop.Start();
  ASSERT_TRUE(AwaitCycles(loop, 10));
  loop.Stop();

  const ServoStats stats = loop.Stats();
  const std::vector<ServoState> history = loop.History();
  EXPECT_GT(stats.missed, 0u);
  EXPECT_EQ(stats.cycles + stats.missed, history.back().cycle + 1);
  for (std::size_t i = 1; i < history.size(); ++i) {
    EXPECT_GE(history[i].cycle - history[i - 1].cycle, 2u);  // the exchange outlasts the next slot
    EXPECT_GE(history[i].time, history[i].cycle / 1000.0);     // and nothing runs ahead of its slot
  }
}

TEST(ServoLoop, ReportsWhatRealTimeSchedulingItGot) {
  PlayedMorvek3 played;
  ServoSettings settings;
  settings.realtime = true;
  settings.lock_memory = false;  // a test process keeps its memory unlocked
  ServoLoop loop(played.arm, settings);
  loop.Start();
  const ServoStats stats = loop.Stats();
  loop.Stop();
  // Granted or not, it says which, and the loop runs either way.
  EXPECT_NE(stats.realtime_note.find(stats.realtime ? "SCHED_FIFO priority 80" : "SCHED_FIFO not permitted"),
            std::string::npos)
      << stats.realtime_note;
  EXPECT_FALSE(stats.memory_locked);
  EXPECT_FALSE(loop.Error());
}

TEST(ServoHistogram, GivesNearestRankPercentilesToTheBucketAndTheExactMaximum) {
  ServoHistogram histogram;
  EXPECT_EQ(histogram.Summary().max, 0.0);
  for (int i = 1; i <= 1000; ++i) histogram.Record(i * 1000LL - 500);  // 0.5 us .. 999.5 us
  histogram.Record(12345678);                                            // 12.3 ms
  const ServoStats::Percentiles summary = histogram.Summary();
  EXPECT_EQ(summary.p50, 501.0);  // rank 501 of 1001: 500.5 us, in the bucket [500, 501)
  EXPECT_EQ(summary.p99, 991.0);
  EXPECT_EQ(summary.p999, 1000.0);
  EXPECT_DOUBLE_EQ(summary.max, 12345.678);
  EXPECT_EQ(ServoHistogram::UpperEdgeUs(ServoHistogram::Bucket(4321000)), 4330.0);
  EXPECT_EQ(ServoHistogram::UpperEdgeUs(ServoHistogram::Bucket(543210000)), 544000.0);
  EXPECT_EQ(ServoHistogram::Bucket(5000000000LL), ServoHistogram::kBuckets - 1);
}
