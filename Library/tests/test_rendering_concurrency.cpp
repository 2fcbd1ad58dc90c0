#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "CheckedSimulator.h"
#include "Rendering/Geometry.h"
#include "Tavix/HardwareAPI/Devices/Morvek3.h"
#include "Tavix/HardwareAPI/IO/Port.h"
#include "Tavix/HardwareAPI/Rendering/Box.h"
#include "Tavix/HardwareAPI/Rendering/Capsule.h"
#include "Tavix/HardwareAPI/Rendering/Plane.h"
#include "Tavix/HardwareAPI/Rendering/Scene.h"
#include "Tavix/HardwareAPI/Rendering/Sphere.h"
#include "Tavix/HardwareAPI/Servo/ServoLoop.h"

using namespace Tavix::HardwareAPI;
using namespace Tavix::HardwareAPI::Rendering;
using namespace Tavix::Testing;

namespace {

const Vector3 kStill{0.0f, 0.0f, 0.0f};

// The half-space z < 0, whose queries wait while `hold` is set: a step that reaches it
// stays in the middle of rendering until the test lets it go.
class HeldGeometry : public Geometry {
 public:
  bool FirstEntry(const Eigen::Vector3d& from, const Eigen::Vector3d& to, Entry& entry) const noexcept override {
    Wait();
    if (from.z() < 0.0 || !(to.z() < 0.0)) return false;
    entry.fraction = from.z() / (from.z() - to.z());
    entry.normal = Eigen::Vector3d::UnitZ();
    return true;
  }

  Nearest NearestSurface(const Eigen::Vector3d& point) const noexcept override {
    Wait();
    return {Eigen::Vector3d(point.x(), point.y(), 0.0), Eigen::Vector3d::UnitZ(), point.z()};
  }

  Eigen::AlignedBox3d Bounds() const noexcept override {
    return {Eigen::Vector3d::Constant(-1.0), Eigen::Vector3d(1.0, 1.0, 0.0)};
  }

  mutable std::atomic<bool> entered{false};
  std::atomic<bool> hold{true};

 private:
  void Wait() const noexcept {
    entered = true;
    while (hold) std::this_thread::yield();
  }
};

class HeldShape : public Shape {
 public:
  explicit HeldShape(std::shared_ptr<const HeldGeometry> geometry) : Shape(std::move(geometry), Pose{}, Material{}) {}
};

Vector3 Offset(const Vector3& point, float x, float y, float z) { return {point[0] + x, point[1] + y, point[2] + z}; }

bool Finite(const Vector3& vector) {
  return std::isfinite(vector[0]) && std::isfinite(vector[1]) && std::isfinite(vector[2]);
}

}  // namespace

// A step is held in the middle of rendering: meanwhile another thread's tick gets zero
// force and its Step is refused; once the step is over, the scene renders again.
TEST(RenderingConcurrency, WhileOneThreadRendersASceneAnotherGetsNoForceAndCannotStep) {
  const auto geometry = std::make_shared<HeldGeometry>();
  Scene scene;
  scene.Add(std::make_shared<HeldShape>(geometry));
  const Vector3 pressed{0.0f, 0.0f, -0.002f};
  std::thread renderer([&] { scene.Step(pressed, 1e-3); });
  while (!geometry->entered) std::this_thread::yield();
  EXPECT_EQ(scene.Force(pressed, kStill), kStill);
  EXPECT_THROW(scene.Step(pressed, 1e-3), std::logic_error);
  geometry->hold = false;
  renderer.join();
  EXPECT_NEAR(scene.Step(pressed, 1e-3)[2], 2.0f, 1e-3f);
}

// A loop renders a scene around the simulated arm while one thread adds and removes the
// shapes, one moves them and changes their materials, one reads the proxy, and one tries
// to step the scene too. Every tick goes through with a finite force, and the proxy read
// is always whole.
TEST(RenderingConcurrency, ShapesChangeAndTheProxyIsReadWhileALoopRendersTheScene) {
  CheckedSimulator simulator({"arm"});
  IO::Port port(simulator.PortPath(), 1.0);
  Devices::Morvek3 arm(&port);
  Servo::ServoSettings settings;
  settings.ramp_seconds = 0.0;
  settings.max_force = 2.0f;
  Servo::ServoLoop loop(arm, settings);
  const auto scene = std::make_shared<Scene>();
  loop.Add(scene);
  loop.Start();
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!loop.State() && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(loop.State());
  const Vector3 at = loop.State()->position;

  // Shapes around the end effector, most of them holding it.
  Material soft;
  soft.stiffness = 200.0f;
  const std::vector<std::shared_ptr<Shape>> shapes{
      std::make_shared<Sphere>(Offset(at, 0.004f, 0.0f, 0.0f), 0.005f, soft),
      std::make_shared<Box>(Offset(at, 0.0f, 0.0f, -0.004f), Vector3{0.01f, 0.01f, 0.005f}, Rotation{0, 0, 0, 1}, soft),
      std::make_shared<Plane>(Offset(at, 0.0f, 0.003f, 0.0f), Vector3{0.0f, -1.0f, 0.0f}, soft),
      std::make_shared<Capsule>(Offset(at, -0.01f, 0.0f, 0.0f), Offset(at, 0.01f, 0.0f, 0.0f), 0.002f, soft)};
  std::atomic<bool> done{false};
  std::vector<std::thread> workers;
  workers.emplace_back([&] {  // changes the list
    while (!done) {
      for (const auto& shape : shapes) scene->Add(shape);
      scene->Remove(shapes[1]);
      scene->Remove(shapes[3]);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      scene->Clear();
    }
  });
  workers.emplace_back([&] {  // moves the shapes and changes their materials
    for (int i = 0; !done; i = (i + 1) % 100) {
      const float wobble = 0.002f * std::sin(0.0628f * i);
      shapes[0]->SetPosition(Offset(at, 0.004f + wobble, 0.0f, 0.0f));
      shapes[1]->SetRotation({0.0f, 0.0f, wobble * 100.0f, 1.0f});
      shapes[2]->SetPose({Offset(at, 0.0f, 0.003f + wobble, 0.0f), {0.0f, 0.0f, 1.0f, 0.0f}});
      Material material = soft;
      material.static_friction = material.dynamic_friction = (i % 2) * 0.5f;
      material.damping = (i % 3) * 1.0f;
      shapes[3]->SetMaterial(material);
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  });
  std::atomic<bool> touched{false};
  workers.emplace_back([&] {  // reads the proxy
    while (!done) {
      const ProxyState proxy = scene->Proxy();
      EXPECT_TRUE(Finite(proxy.position));
      if (proxy.in_contact) {
        touched = true;
        const Vector3& n = proxy.normal;
        EXPECT_NEAR(n[0] * n[0] + n[1] * n[1] + n[2] * n[2], 1.0f, 1e-4f);
      }
      EXPECT_LE(scene->Shapes().size(), shapes.size());
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  });
  workers.emplace_back([&] {  // steps the scene too
    while (!done) {
      try {
        scene->Step(at, 1e-3);
      } catch (const std::logic_error&) {
        // the loop had the turn
      }
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  std::this_thread::sleep_for(std::chrono::seconds(1));
  done = true;
  for (std::thread& worker : workers) worker.join();
  loop.Stop();

  EXPECT_FALSE(loop.Error());
  const Servo::ServoStats stats = loop.Stats();
  EXPECT_GT(stats.cycles, 100u);
  EXPECT_EQ(stats.failures, 0u);
  EXPECT_EQ(stats.non_finite, 0u);
  bool pushed = false;
  for (const Servo::ServoState& tick : loop.History()) {
    EXPECT_TRUE(tick.ok) << "cycle " << tick.cycle;
    pushed = pushed || tick.force != kStill;
  }
  EXPECT_TRUE(pushed);
  EXPECT_TRUE(touched);
}
