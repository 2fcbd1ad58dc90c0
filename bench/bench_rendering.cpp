// The haptic renderer's cost per tick: Scene::Step, the loop's computation, over a path
// that presses into a surface, slides along it and lets go, for one sphere, meshes of
// 10k and 100k triangles, and 50 shapes; heap allocations per tick; the time to build a
// 100k-triangle mesh's search tree; and the passivity controller's cost per tick. No
// device: the figures are the computations' own.
//
//   bench_rendering <results-directory>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "AllocationCounter.h"
#include "Icosphere.h"
#include "Measurement.h"
#include "PassivityController.h"
#include "ResultWriter.h"
#include "Tavix/HardwareAPI/Rendering/Box.h"
#include "Tavix/HardwareAPI/Rendering/Capsule.h"
#include "Tavix/HardwareAPI/Rendering/Mesh.h"
#include "Tavix/HardwareAPI/Rendering/Scene.h"
#include "Tavix/HardwareAPI/Rendering/Sphere.h"

namespace {

using namespace Tavix::Bench;
using namespace Tavix::HardwareAPI::Rendering;
using Tavix::HardwareAPI::Vector3;

constexpr double kTick = 0.001;  // s: 1 kHz
constexpr int kTicks = 20000;
constexpr int kBuilds = 9;
constexpr float kRadius = 0.05f;  // m: every case's surface is near a sphere of this size

// The device's path: round the sphere's equator at 0.2 m/s, dipping 5 mm into the surface
// and coming out of it again twice a second, so that ticks in contact, sliding, and free
// all count.
Vector3 PathPoint(int tick) {
  const double t = tick * kTick;
  const double radius = kRadius + 0.005 * std::cos(2.0 * M_PI * 2.0 * t);
  const double angle = 0.2 * t / kRadius;
  return {static_cast<float>(radius * std::cos(angle)), static_cast<float>(radius * std::sin(angle)), 0.0f};
}

// A geodesic sphere of 20 x frequency^2 triangles.
std::shared_ptr<Mesh> SphereMesh(int frequency) {
  const Tavix::Testing::TriangleMesh sphere = Tavix::Testing::Icosphere(kRadius, frequency);
  return std::make_shared<Mesh>(sphere.vertices, sphere.triangles);
}

// 50 shapes on a ring around the path's sphere, which is one of them.
std::shared_ptr<Scene> FiftyShapes() {
  auto scene = std::make_shared<Scene>();
  scene->Add(std::make_shared<Sphere>(Vector3{0.0f, 0.0f, 0.0f}, kRadius));
  for (int i = 1; i < 50; ++i) {
    const float angle = 2.0f * static_cast<float>(M_PI) * static_cast<float>(i) / 49.0f;
    const Vector3 where{0.2f * std::cos(angle), 0.2f * std::sin(angle), 0.05f * static_cast<float>(i % 3)};
    switch (i % 3) {
      case 0: scene->Add(std::make_shared<Sphere>(where, 0.02f)); break;
      case 1: scene->Add(std::make_shared<Box>(where, Vector3{0.01f, 0.02f, 0.03f})); break;
      default: scene->Add(std::make_shared<Capsule>(where, Vector3{where[0], where[1], where[2] + 0.04f}, 0.01f));
    }
  }
  return scene;
}

std::shared_ptr<Scene> SceneOf(std::shared_ptr<Shape> shape) {
  auto scene = std::make_shared<Scene>();
  scene->Add(std::move(shape));
  return scene;
}

void MeasureTicks(const ResultWriter& writer, const std::string& name, Scene& scene) {
  int tick = 0;
  const Run run = Repeat(kTicks, [&] { scene.Step(PathPoint(tick++), kTick); }, AllocationsSoFar);
  writer.RecordRun("rendering." + name, run);
}

void MeasureTreeBuild(const ResultWriter& writer) {
  const Tavix::Testing::TriangleMesh sphere = Tavix::Testing::Icosphere(kRadius, 71);
  std::vector<double> build_ms;
  std::size_t triangles = 0;
  for (int i = 0; i < kBuilds; ++i) {
    auto vertices = sphere.vertices;
    auto corners = sphere.triangles;
    const auto start = std::chrono::steady_clock::now();
    const Mesh mesh(std::move(vertices), std::move(corners));
    build_ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    triangles = mesh.TriangleCount();
  }
  std::sort(build_ms.begin(), build_ms.end());
  writer.Record("rendering.tree_build",
                {{"triangles", static_cast<double>(triangles)}, {"median_ms", build_ms[build_ms.size() / 2]},
                 {"max_ms", build_ms.back()}});
}

// The passivity controller as the loop runs it each tick (observe the reply, then damp
// the next force), on a mass bouncing in a stiff sampled wall, so that it acts often.
void MeasurePassivityController(const ResultWriter& writer) {
  constexpr double kMass = 0.1, kStiffness = 20000.0;
  Tavix::HardwareAPI::Servo::PassivityController controller(kTick);
  double position = 0.0, velocity = -0.2;
  Vector3 sent{0.0f, 0.0f, 0.0f};
  const Run run = Repeat(kTicks, [&] {
    const Vector3 at{0.0f, 0.0f, static_cast<float>(position)};
    const Vector3 moving{0.0f, 0.0f, static_cast<float>(velocity)};
    controller.Observe(sent, true, at, moving);
    const Vector3 wall{0.0f, 0.0f, position < 0.0 ? static_cast<float>(-kStiffness * position) : 0.0f};
    sent = controller.Damped(wall, moving).force;
    velocity += sent[2] / kMass * kTick;
    position += velocity * kTick;
  }, AllocationsSoFar);
  writer.RecordRun("rendering.passivity_controller", run);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_rendering <results-directory>\n");
    return 2;
  }
  try {
    const ResultWriter writer(argv[1]);
    MeasureTicks(writer, "sphere", *SceneOf(std::make_shared<Sphere>(Vector3{0.0f, 0.0f, 0.0f}, kRadius)));
    MeasureTicks(writer, "mesh_10k", *SceneOf(SphereMesh(22)));
    MeasureTicks(writer, "mesh_100k", *SceneOf(SphereMesh(71)));
    MeasureTicks(writer, "fifty_shapes", *FiftyShapes());
    MeasureTreeBuild(writer);
    MeasurePassivityController(writer);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_rendering: %s\n", error.what());
    return 1;
  }
  return 0;
}
