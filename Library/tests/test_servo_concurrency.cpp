#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CheckedSimulator.h"
#include "Tavix/HardwareAPI/Devices/Morvek3.h"
#include "Tavix/HardwareAPI/IO/Port.h"
#include "Tavix/HardwareAPI/Servo/ConstantForce.h"
#include "Tavix/HardwareAPI/Servo/Damper.h"
#include "Tavix/HardwareAPI/Servo/ServoLoop.h"
#include "Tavix/HardwareAPI/Servo/Spring.h"

using namespace Tavix::HardwareAPI;
using namespace Tavix::HardwareAPI::Servo;
using namespace Tavix::Testing;

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
