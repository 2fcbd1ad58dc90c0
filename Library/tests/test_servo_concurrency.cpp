#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CheckedSimulator.h"
#include "DeferredLog.h"
#include "PtyPeer.h"
#include "StderrCapture.h"
#include "Tavix/HardwareAPI/Devices/Morvek3.h"
#include "Tavix/HardwareAPI/IO/Port.h"
#include "Tavix/HardwareAPI/Servo/ConstantForce.h"
#include "Tavix/HardwareAPI/Servo/Damper.h"
#include "Tavix/HardwareAPI/Servo/ServoLoop.h"
#include "Tavix/HardwareAPI/Servo/Spring.h"
#include "Tavix/HardwareAPI/Servo/TickReader.h"

using namespace Tavix::HardwareAPI;
using namespace Tavix::HardwareAPI::Servo;
using namespace Tavix::Testing;

namespace {

// Polls `condition` until it holds; false if it does not within `bound`.
bool Eventually(const std::function<bool()>& condition, std::chrono::seconds bound = std::chrono::seconds(15)) {
  const auto give_up = std::chrono::steady_clock::now() + bound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Holds each thread that calls `Arrive` until `count` have: so that they go together.
class Gate {
 public:
  explicit Gate(int count) : count_(count) {}
  void Arrive() {
    arrived_.fetch_add(1);
    while (arrived_.load() < count_) {
    }
  }

 private:
  const int count_;
  std::atomic<int> arrived_{0};
};

// Points file descriptor 2 at a pipe that is full and that nobody reads, so that a write
// to standard error blocks, until `GiveBack`: it puts the old descriptor back, then
// empties the pipe, so that a write blocked in it ends.
class BlockedStandardError {
 public:
  BlockedStandardError() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("no pipe");
    read_end_ = ends[0];
    fcntl(ends[1], F_SETPIPE_SZ, 4096);  // the smallest: full quickly
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    const std::string filler(4096, 'x');
    while (write(ends[1], filler.data(), filler.size()) > 0) {
    }
    fcntl(ends[1], F_SETFL, 0);  // from now on a write waits for room
    saved_ = dup(2);
    dup2(ends[1], 2);
    close(ends[1]);
  }
  ~BlockedStandardError() {
    GiveBack();
    close(read_end_);
  }

  BlockedStandardError(const BlockedStandardError&) = delete;
  BlockedStandardError& operator=(const BlockedStandardError&) = delete;

  void GiveBack() {
    if (saved_ < 0) return;
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
    fcntl(read_end_, F_SETFL, O_NONBLOCK);
    char chunk[65536];
    while (read(read_end_, chunk, sizeof chunk) > 0) {
    }
  }

 private:
  int read_end_ = -1;
  int saved_ = -1;
};

// Reads, on a thread of its own, what the library sends to a silent device played on
// `peer`: the force requests, 13 bytes each (the code, then 3 floats).
class RequestReader {
 public:
  explicit RequestReader(PtyPeer& peer) : peer_(peer), thread_([this] { Read(); }) {}
  ~RequestReader() {
    done_ = true;
    thread_.join();
  }

  std::size_t Requests() const {
    const std::lock_guard<std::mutex> hold(mutex_);
    return bytes_.size() / 13;
  }

  Vector3 LastForce() const {
    const std::lock_guard<std::mutex> hold(mutex_);
    Vector3 force{};
    if (bytes_.size() >= 13) std::memcpy(force.data(), &bytes_[bytes_.size() - 12], sizeof force);
    return force;
  }

 private:
  void Read() {
    while (!done_) {
      const Bytes part = peer_.Receive(13, Millis(10));
      const std::lock_guard<std::mutex> hold(mutex_);
      bytes_.insert(bytes_.end(), part.begin(), part.end());
    }
  }

  PtyPeer& peer_;
  std::atomic<bool> done_{false};
  mutable std::mutex mutex_;
  Bytes bytes_;
  std::thread thread_;
};

}  // namespace

// While the loop runs on the simulator, one thread changes an effect's force over and
// over, one adds and removes other effects, and one reads the snapshots. The loop must
// never see half of a change: each force it sends is one the writer set, (v, 2v, 0).
TEST(ServoLoopConcurrency, EffectsChangeAndSnapshotsAreReadWhileTheLoopRuns) {
  CheckedSimulator simulator({"arm"});
  IO::Port port(simulator.PortPath(), 1.0);
  Devices::Morvek3 arm(&port);
  ServoSettings settings;
  settings.rate_hz = 2000.0;
  settings.ramp_seconds = 0.0;
  settings.max_force = 100.0f;
  settings.rated_peak_force = 100.0f;
  ServoLoop loop(arm, settings);
  const auto weight = std::make_shared<ConstantForce>(Vector3{0.0f, 0.0f, 0.0f});
  loop.Add(weight);
  loop.Start();

  std::atomic<bool> done{false};
  std::thread setter([&] {
    for (int i = 0; !done; i = (i + 1) % 10) weight->SetForce({0.1f * i, 0.2f * i, 0.0f});
  });
  std::thread list_changer([&] {
    const auto damper = std::make_shared<Damper>(0.0f);
    const auto spring = std::make_shared<Spring>(Vector3{0.0f, 0.0f, 0.0f}, 0.0f);
    while (!done) {
      loop.Add(damper);
      loop.Add(spring);
      spring->SetStiffness(0.0f);
      loop.Remove(damper);
      loop.Clear();
      loop.Add(weight);
    }
  });
  std::thread reader([&] {
    while (!done) {
      if (const auto state = loop.State()) {
        EXPECT_LE(state->cycle, loop.Stats().cycles + loop.Stats().missed);
      }
      EXPECT_LE(loop.History().size(), loop.HistorySize());
      EXPECT_LE(loop.Effects().size(), 3u);
    }
  });
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  while (std::chrono::steady_clock::now() < until && loop.Running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  done = true;
  setter.join();
  list_changer.join();
  reader.join();
  loop.Stop();

  EXPECT_FALSE(loop.Error());
  const std::vector<ServoState> history = loop.History();
  EXPECT_GT(history.size(), 10u);
  for (const ServoState& tick : history) {
    EXPECT_TRUE(tick.ok);
    EXPECT_FLOAT_EQ(tick.force[1], 2.0f * tick.force[0]) << "cycle " << tick.cycle;
    EXPECT_EQ(tick.force[2], 0.0f);
  }
}

// A reader on its own thread takes every tick of two runs, in order; one that falls
// further behind than the history keeps counts what it lost, and nothing is both.
TEST(ServoLoopConcurrency, ATickReaderTakesEveryTickOrCountsItAsLost) {
  CheckedSimulator simulator({"arm"});
  IO::Port port(simulator.PortPath(), 1.0);
  Devices::Morvek3 arm(&port);
  ServoSettings settings;
  settings.rate_hz = 2000.0;
  settings.history_size = 64;
  ServoLoop loop(arm, settings);
  TickReader keeping_up(loop);
  TickReader falling_behind(loop);
  std::vector<ServoState> all, some;
  uint64_t cycles = 0;
  for (int run = 0; run < 2; ++run) {
    loop.Start();
    std::atomic<bool> done{false};
    std::thread reader([&] {
      while (!done) {
        keeping_up.Read(all);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));  // 4 ticks
      }
    });
    ASSERT_TRUE(Eventually([&] { return loop.Stats().cycles >= 400; }));
    falling_behind.Read(some, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // 200 ticks: more than 64
    falling_behind.Read(some);
    loop.Stop();
    done = true;
    reader.join();
    cycles += loop.Stats().cycles;
  }
  keeping_up.Read(all);
  falling_behind.Read(some);

  EXPECT_EQ(keeping_up.Lost(), 0u);
  ASSERT_EQ(all.size(), cycles);
  for (std::size_t i = 1; i < all.size(); ++i) {
    if (all[i].cycle != 0) {
      EXPECT_GT(all[i].cycle, all[i - 1].cycle);  // a new run starts at 0
    }
  }
  EXPECT_GT(falling_behind.Lost(), 0u);
  EXPECT_EQ(some.size() + falling_behind.Lost(), cycles);
  const std::vector<ServoState> history = loop.History();
  ASSERT_LE(history.size(), all.size());
  for (std::size_t i = 0; i < history.size(); ++i) {
    const ServoState& read = all[all.size() - history.size() + i];
    EXPECT_EQ(read.cycle, history[i].cycle);
    EXPECT_EQ(read.force, history[i].force);
  }
}

// Two threads start one loop at the same moment, over and over: each time one starts it
// and the other is refused, and the loop runs.
TEST(ServoLoopConcurrency, OfTwoStartsAtOnceOneStartsTheLoopAndTheOtherThrows) {
  CheckedSimulator simulator({"arm"});
  IO::Port port(simulator.PortPath(), 1.0);
  Devices::Morvek3 arm(&port);
  ServoLoop loop(arm);
  for (int round = 0; round < 60; ++round) {
    Gate gate(2);
    std::atomic<int> started{0}, refused{0};
    const auto start = [&] {
      gate.Arrive();
      try {
        loop.Start();
        ++started;
      } catch (const std::logic_error&) {
        ++refused;
      }
    };
    std::thread first(start), second(start);
    first.join();
    second.join();
    ASSERT_EQ(started, 1) << "round " << round;
    ASSERT_EQ(refused, 1) << "round " << round;
    EXPECT_TRUE(loop.Running());
    loop.Stop();
    ASSERT_FALSE(loop.Error());
  }
}

// Two threads stop one running loop at the same moment, over and over: both return, and
// by then the loop has stopped.
TEST(ServoLoopConcurrency, OfTwoStopsAtOnceBothReturnOnceTheLoopHasStopped) {
  CheckedSimulator simulator({"arm"});
  IO::Port port(simulator.PortPath(), 1.0);
  Devices::Morvek3 arm(&port);
  auto loop = std::make_unique<ServoLoop>(arm);
  for (int round = 0; round < 60; ++round) {
    loop->Start();
    struct Shared {
      Gate gate{2};
      std::atomic<int> returned{0}, stopped_by_then{0};
    };
    const auto shared = std::make_shared<Shared>();
    ServoLoop* const target = loop.get();
    for (int i = 0; i < 2; ++i) {
      // Detached, so that a Stop that never returns fails the test instead of hanging it.
      std::thread([shared, target] {
        shared->gate.Arrive();
        target->Stop();
        if (!target->Running()) ++shared->stopped_by_then;
        ++shared->returned;
      }).detach();
    }
    if (!Eventually([&] { return shared->returned == 2; })) {
      (void)loop.release();  // a thread may still be in it
      FAIL() << "a Stop did not return, round " << round;
    }
    ASSERT_EQ(shared->stopped_by_then, 2);
    ASSERT_FALSE(loop->Error());
  }
}

// A thread calls the arm over and over, through two objects on its port, while the loop
// starts and stops: each call either fails as refused (the loop drives the arm) or goes
// through whole, and the ticks never fail. The caller's arm objects are never touched by
// the loop's thread.
TEST(ServoLoopConcurrency, CallsOnADrivenArmFromAnotherThreadAreRefusedAndNeverMeetATick) {
  CheckedSimulator simulator({"arm"});
  IO::Port port(simulator.PortPath(), 1.0);
  Devices::Morvek3 arm(&port);
  Devices::Morvek3 same_arm(&port);
  ServoLoop loop(arm);
  std::atomic<bool> done{false};
  int refused = 0, other = 0;  // the caller's, read once it has ended
  std::thread caller([&] {
    for (bool first = true; !done; first = !first) {
      Devices::Morvek3& target = first ? arm : same_arm;
      target.EndEffectorForce({0.0f, 0.0f, 0.0f});
      const std::error_code error = target.LastError();
      if (error == std::errc::device_or_resource_busy) {
        ++refused;
      } else if (error) {
        ++other;
      }
    }
  });
  for (int round = 0; round < 20; ++round) {
    loop.Start();
    const bool ticked = Eventually([&] { return loop.Stats().cycles >= 10 || !loop.Running(); });
    loop.Stop();
    EXPECT_TRUE(ticked) << "round " << round;
    EXPECT_EQ(loop.Stats().failures, 0u) << "round " << round;
    EXPECT_FALSE(loop.Error()) << "round " << round;
  }
  done = true;
  caller.join();
  EXPECT_GT(refused, 0);
  EXPECT_EQ(other, 0);
}

// Standard error is a full pipe that nobody reads, and every exchange fails and logs a
// line: the ticks go on (the lines the logging thread cannot take are counted as
// dropped), Stop returns, and the stop's zero force goes out.
TEST(ServoLoopConcurrency, TicksGoOnAndStopSendsZeroForceWhileStandardErrorIsBlocked) {
  PtyPeer peer;  // a silent device
  RequestReader requests(peer);
  IO::Port port(peer.Path(), 0.002);
  Devices::Morvek3 arm(&port);
  ServoSettings settings;
  settings.max_failures = 1000000;
  ServoLoop loop(arm, settings);
  const StderrCapture log_lines;  // where the lines go once standard error is given back
  BlockedStandardError blocked;
  loop.Start();

  const bool ticking = Eventually([&] {
    const ServoStats stats = loop.Stats();
    return stats.log_lines_dropped > 0 && stats.cycles > 2 * DeferredLog::kQueueLines;
  });
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    loop.Stop();
    stopped = true;
  });
  const bool stop_returned = Eventually([&] { return stopped.load(); });
  blocked.GiveBack();  // lets a blocked writer go, whichever it is
  stopper.join();
  EXPECT_TRUE(DeferredLog::WaitUntilDelivered(std::chrono::seconds(10)));

  EXPECT_TRUE(ticking) << loop.Stats().cycles << " ticks";
  EXPECT_TRUE(stop_returned);
  // One request a tick, and one more: the stop's zero force.
  const std::size_t expected = loop.Stats().cycles + 1;
  EXPECT_TRUE(Eventually([&] { return requests.Requests() >= expected; }, std::chrono::seconds(5)));
  EXPECT_EQ(requests.Requests(), expected);
  EXPECT_EQ(requests.LastForce(), (Vector3{0.0f, 0.0f, 0.0f}));
}
