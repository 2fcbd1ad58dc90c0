#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include "Icosphere.h"
#include "Tavix/HardwareAPI/Rendering/Box.h"
#include "Tavix/HardwareAPI/Rendering/Mesh.h"
#include "Tavix/HardwareAPI/Rendering/Plane.h"
#include "Tavix/HardwareAPI/Rendering/Scene.h"
#include "Tavix/HardwareAPI/Rendering/Sphere.h"

using namespace Tavix::HardwareAPI;
using namespace Tavix::HardwareAPI::Rendering;
using Eigen::Vector3d;

namespace {

constexpr double kMm = 1e-3;
constexpr double kTick = 1e-3;        // s
constexpr double kStiffness = 1000.0;  // N/m, the default material's
const double kDegree = std::acos(-1.0) / 180.0;

Vector3d Widened(const Vector3& vector) { return {vector[0], vector[1], vector[2]}; }

Vector3 Narrowed(const Vector3d& vector) {
  return {static_cast<float>(vector.x()), static_cast<float>(vector.y()), static_cast<float>(vector.z())};
}

Vector3 Millimetres(double x, double y, double z) { return Narrowed(Vector3d(x, y, z) * kMm); }

// Points along the waypoints (mm), at most `step` mm apart, in m, as a device reports
// them (floats).
std::vector<Vector3d> Path(const std::vector<Vector3d>& waypoints, double step) {
  std::vector<Vector3d> points{Widened(Narrowed(waypoints.front() * kMm))};
  for (std::size_t i = 1; i < waypoints.size(); ++i) {
    const Vector3d leg = waypoints[i] - waypoints[i - 1];
    const int steps = std::max(1, static_cast<int>(std::ceil(leg.norm() / step)));
    for (int k = 1; k <= steps; ++k) {
      points.push_back(Widened(Narrowed((waypoints[i - 1] + leg * k / steps) * kMm)));
    }
  }
  return points;
}

Vector3d Step(Scene& scene, const Vector3d& device) { return Widened(scene.Step(Narrowed(device), kTick)); }

// Steps the device along `path`; the force of each step.
std::vector<Vector3d> Forces(Scene& scene, const std::vector<Vector3d>& path) {
  std::vector<Vector3d> forces;
  for (const Vector3d& device : path) forces.push_back(Step(scene, device));
  return forces;
}

Material Feel(float static_friction, float dynamic_friction, float damping = 0.0f) {
  Material material;
  material.damping = damping;
  material.static_friction = static_friction;
  material.dynamic_friction = dynamic_friction;
  return material;
}

// The floor z < 0, the device pressed 2 mm into it.
struct PressedFloor {
  explicit PressedFloor(const Material& material = {})
      : floor(std::make_shared<Plane>(Vector3{0.0f, 0.0f, 0.0f}, Vector3{0.0f, 0.0f, 1.0f}, material)) {
    scene.Add(floor);
    Forces(scene, Path({{0, 0, 1}, {0, 0, -2}}, 0.5));
  }
  Scene scene;
  std::shared_ptr<Plane> floor;
};

}  // namespace

TEST(RenderingProxy, AThinPlateCrossedAtTwoMetresASecondPushesBackOutOfTheFaceEntered) {
  Scene scene;
  const auto plate = std::make_shared<Box>(Vector3{0.0f, 0.0f, 0.0f}, Millimetres(50, 50, 0.5));
  scene.Add(plate);
  const double top = plate->HalfExtents()[2];
  // 2 mm a tick: from above, through the plate in one tick and on, then back up.
  for (const Vector3d& device : Path({{0, 0, 5}, {0, 0, -9}, {0, 0, 5}}, 2.0)) {
    const Vector3d force = Step(scene, device);
    const ProxyState proxy = scene.Proxy();
    EXPECT_GE(proxy.position[2], top) << device.z();
    const double depth = top - device.z();
    if (depth > 0.0) {
      EXPECT_NEAR(force.z(), kStiffness * depth, 1e-3) << device.z();
      EXPECT_EQ(force.x(), 0.0);
      EXPECT_EQ(force.y(), 0.0);
      EXPECT_EQ(proxy.shape, plate);
      EXPECT_EQ(proxy.normal, (Vector3{0.0f, 0.0f, 1.0f}));
    } else {
      EXPECT_EQ(force, Vector3d::Zero()) << device.z();
      EXPECT_FALSE(proxy.in_contact);
      EXPECT_EQ(proxy.position, Narrowed(device));
    }
  }
}

// Blocks (centre and half extents, mm) and a device path (mm) that stays inside them, or
// outside, but never leaves through a face other than the one it entered: the force may
// change by at most the stiffness times the device's step. Each row is also played
// turned and moved.
TEST(RenderingProxy, TheForceNeverJumpsAlongEdgesOverCornersOrAcrossSeams) {
  struct Row {
    const char* name;
    std::vector<std::pair<Vector3d, Vector3d>> blocks;
    std::vector<Vector3d> waypoints;
  };
  const std::vector<std::pair<Vector3d, Vector3d>> cube{{{0, 0, 0}, {20, 20, 20}}};
  const std::vector<Row> rows{
      {"along an edge", cube, {{18, -15, 25}, {18, -15, 17}, {18, 15, 17}, {18, 15, 25}}},
      {"round an edge, in", cube, {{15, 0, 25}, {15, 0, 18}, {19, 0, 18}, {19, 0, 10}, {19, 0, 25}}},
      {"across a corner", cube, {{18, 10, 25}, {18, 10, 18}, {18, 18, 18}, {10, 18, 18}, {10, 18, 25}}},
      {"into a corner", cube, {{25, 25, 25}, {15, 15, 15}, {25, 25, 25}}},
      {"over a seam",
       {{{-20, 0, 0}, {20, 20, 20}}, {{20, 0, 0}, {20, 20, 20}}},
       {{-10, 5, 25}, {-10, 5, 18}, {10, 5, 18}, {10, 5, 25}}},
      {"into a hollow edge",
       {{{0, 0, -20}, {40, 40, 20}}, {{30, 0, 20}, {10, 40, 20}}},
       {{0, 0, 5}, {0, 0, -3}, {23, 0, -3}, {23, 0, 5}, {15, 0, 5}}},
  };
  const Eigen::Quaterniond turn(Eigen::AngleAxisd(0.7, Vector3d(1, 2, 3).normalized()));
  const std::vector<Eigen::Isometry3d> placements{Eigen::Isometry3d::Identity(),
                                                  Eigen::Translation3d(0.01, -0.02, 0.03) * turn};
  constexpr double kStep = 0.1;  // mm
  for (const Row& row : rows) {
    for (const Eigen::Isometry3d& placement : placements) {
      Scene scene;
      const Eigen::Quaterniond rotation(placement.linear());
      const Rotation turned{static_cast<float>(rotation.x()), static_cast<float>(rotation.y()),
                            static_cast<float>(rotation.z()), static_cast<float>(rotation.w())};
      for (const auto& [center, half] : row.blocks) {
        scene.Add(std::make_shared<Box>(Narrowed(placement * (center * kMm)), Narrowed(half * kMm), turned));
      }
      std::vector<Vector3d> path = Path(row.waypoints, kStep);
      for (Vector3d& point : path) point = Widened(Narrowed(placement * point));
      const std::vector<Vector3d> forces = Forces(scene, path);
      double strongest = 0.0;
      for (std::size_t i = 1; i < path.size(); ++i) {
        const double allowed = kStiffness * (path[i] - path[i - 1]).norm() + 1e-3;
        EXPECT_LE((forces[i] - forces[i - 1]).norm(), allowed) << row.name << ", step " << i;
        strongest = std::max(strongest, forces[i].norm());
      }
      EXPECT_GT(strongest, kStiffness * 2 * kMm) << row.name;
      EXPECT_EQ(forces.back(), Vector3d::Zero()) << row.name;
    }
  }
}

TEST(RenderingProxy, AMeshOfTwentyThousandTrianglesFeelsLikeTheSphereItApproximates) {
  const float radius = 0.05f;
  const Tavix::Testing::TriangleMesh icosphere = Tavix::Testing::Icosphere(radius, 32);
  const Vector3 center = Millimetres(100, -20, 30);
  const auto mesh = std::make_shared<Mesh>(icosphere.vertices, icosphere.triangles);
  mesh->SetPosition(center);
  ASSERT_GE(mesh->TriangleCount(), 20000u);
  const auto sphere = std::make_shared<Sphere>(center, radius);
  constexpr double kDepth = 5.0;  // mm
  // The device comes in from 10 mm out towards the centre, to the depth, and holds.
  const auto felt = [&](const std::shared_ptr<Shape>& shape, const Vector3d& direction) {
    const Vector3d middle = Widened(center) / kMm;
    const double out = radius / kMm + 10.0;
    const double in = radius / kMm - kDepth;
    std::vector<Vector3d> path = Path({middle + out * direction, middle + in * direction}, 0.5);
    path.insert(path.end(), 20, path.back());
    Scene scene;
    scene.Add(shape);
    return Forces(scene, path).back();
  };
  for (const Vector3d& direction : {Vector3d(0, 0, 1), Vector3d(1, 1, 1).normalized(),
                                    Vector3d(-0.3, 0.8, -0.2).normalized(), Vector3d(0.9, -0.1, 0.05).normalized()}) {
    const Vector3d analytic = felt(sphere, direction);
    const Vector3d meshed = felt(mesh, direction);
    EXPECT_NEAR(analytic.norm(), kStiffness * kDepth * kMm, 1e-3) << direction.transpose();
    EXPECT_NEAR(meshed.norm(), analytic.norm(), 0.01 * kStiffness * kDepth * kMm) << direction.transpose();
    // The facets tilt by up to about the angle between neighbouring vertices, 2 degrees.
    EXPECT_GT(meshed.normalized().dot(analytic.normalized()), std::cos(2.0 * kDegree)) << direction.transpose();
  }
}

// The device pressed 2 mm into a floor (2 N) is pulled sideways, 0.02 mm a tick: the proxy
// holds until the pull reaches static friction x 2 N, then slides, trailing the device
// by dynamic friction x 2 N.
TEST(RenderingProxy, FrictionHoldsTheProxyWithinItsConeThenLetsItSlide) {
  struct Row {
    float static_friction, dynamic_friction;
    double holds_up_to, trails_by;  // N
  };
  for (const Row& row : {Row{0.5f, 0.4f, 1.0, 0.8}, Row{0.0f, 0.0f, 0.0, 0.0}}) {
    PressedFloor pressed(Feel(row.static_friction, row.dynamic_friction));
    double strongest = 0.0;
    Vector3d force;
    for (const Vector3d& device : Path({{0, 0, -2}, {3, 0, -2}}, 0.02)) {
      force = Step(pressed.scene, device);
      EXPECT_NEAR(force.z(), 2.0, 1e-3);
      const double pull = kStiffness * device.x();
      if (pull < row.holds_up_to - 1e-3) {
        EXPECT_NEAR(-force.x(), pull, 1e-3) << "holding at " << device.x();
      }
      strongest = std::max(strongest, -force.x());
    }
    EXPECT_NEAR(strongest, row.holds_up_to, 0.02 + 1e-3) << row.static_friction;
    EXPECT_NEAR(-force.x(), row.trails_by, 1e-3) << row.static_friction;
  }
}

TEST(RenderingProxy, DampingSoftensThePushAlongTheNormalButNeverPulls) {
  struct Row {
    Vector3 velocity;  // m/s
    float push;        // N
  };
  PressedFloor pressed(Feel(0.0f, 0.0f, 10.0f));  // 2 mm in: 2 N at rest
  const Vector3 device = Millimetres(0, 0, -2);
  for (const Row& row : {Row{{0.0f, 0.0f, 0.0f}, 2.0f}, Row{{0.0f, 0.0f, -0.1f}, 3.0f}, Row{{0.0f, 0.0f, 0.1f}, 1.0f},
                         Row{{0.0f, 0.0f, 1.0f}, 0.0f}, Row{{0.5f, 0.0f, 0.0f}, 2.0f}}) {
    const Vector3 force = pressed.scene.Force(device, row.velocity);
    EXPECT_NEAR(force[2], row.push, 1e-3) << row.velocity[0] << " " << row.velocity[2];
    EXPECT_EQ(force[0], 0.0f);
    EXPECT_EQ(force[1], 0.0f);
  }
}

TEST(RenderingProxy, ASphereMovedOntoTheDeviceAtRestPushesItAwayFromTheCentre) {
  Scene scene;
  const float radius = 0.02f;
  const auto ball = std::make_shared<Sphere>(Millimetres(-25, 3, 0), radius);
  scene.Add(ball);
  const Vector3d device = Vector3d::Zero();
  bool touched = false;
  for (double x = -25.0; x <= -10.0; x += 0.5) {
    ball->SetPosition(Millimetres(x, 3, 0));
    const Vector3d force = Step(scene, device);
    const Vector3d away = device - Widened(ball->GetPose().position);
    const double depth = radius - away.norm();
    if (depth <= 0.0) {
      EXPECT_EQ(force, Vector3d::Zero()) << x;
      continue;
    }
    touched = true;
    EXPECT_GT(force.normalized().dot(away.normalized()), 0.999) << x;
    EXPECT_NEAR(force.norm(), kStiffness * depth, 0.01 * kStiffness * depth) << x;
  }
  EXPECT_TRUE(touched);
}

// A 1 mm plate comes down at 2 m/s onto the device at rest, faster than it is thick:
// it pushes the device down from its lower face rather than passing it.
TEST(RenderingProxy, AThinPlateMovingFastOntoTheDevicePushesItAhead) {
  Scene scene;
  const auto plate = std::make_shared<Box>(Millimetres(0, 0, 9), Millimetres(20, 20, 0.5));
  scene.Add(plate);
  const double half = plate->HalfExtents()[2];
  for (double z = 9.0; z >= -9.0; z -= 2.0) {
    plate->SetPosition(Millimetres(0, 0, z));
    const Vector3d force = Step(scene, Vector3d::Zero());
    const double below = plate->GetPose().position[2] - half;  // the lower face
    EXPECT_NEAR(force.z(), below < 0.0 ? kStiffness * below : 0.0, 1e-3) << z;
    EXPECT_LE(scene.Proxy().position[2], std::max(below, 0.0)) << z;
  }
}

// A pyramid's roof, without a floor: the device goes in from below and out through the
// roof freely, and feels the roof from above.
TEST(RenderingProxy, AnOpenSurfaceIsFeltFromItsFrontOnly) {
  const std::vector<Vector3> corners{Millimetres(10, -10, 0), Millimetres(10, 10, 0), Millimetres(-10, 10, 0),
                                     Millimetres(-10, -10, 0), Millimetres(0, 0, 10)};
  Scene scene;
  scene.Add(std::make_shared<Mesh>(corners, std::vector<std::array<std::uint32_t, 3>>{
                                                {0, 1, 4}, {1, 2, 4}, {2, 3, 4}, {3, 0, 4}}));
  for (const Vector3d& force : Forces(scene, Path({{2, 1, -5}, {2, 1, 15}}, 1.0))) {
    EXPECT_EQ(force, Vector3d::Zero());
  }
  const Vector3d pressed = Forces(scene, Path({{2, 1, 15}, {2, 1, 3}}, 1.0)).back();
  EXPECT_GT(pressed.z(), 0.0);
  EXPECT_NEAR(pressed.norm(), kStiffness * (8.0 - 3.0) * kMm / std::sqrt(2.0), 1e-3);
}

TEST(RenderingProxy, TheProxyNamesTheShapeTouchedUntilItIsRemoved) {
  PressedFloor pressed;
  EXPECT_EQ(pressed.scene.Proxy().shape, pressed.floor);
  ASSERT_TRUE(pressed.scene.Remove(pressed.floor));
  EXPECT_EQ(pressed.scene.Proxy().shape, nullptr);  // before the next step
  EXPECT_TRUE(pressed.scene.Proxy().in_contact);
  EXPECT_EQ(Step(pressed.scene, Vector3d(0, 0, -2 * kMm)), Vector3d::Zero());
  EXPECT_FALSE(pressed.scene.Proxy().in_contact);
  // Back again, it is a new contact: the device, inside, is put out at the surface.
  ASSERT_TRUE(pressed.scene.Add(pressed.floor));
  EXPECT_NEAR(Step(pressed.scene, Vector3d(0, 0, -2 * kMm)).z(), 2.0, 1e-3);
  EXPECT_EQ(pressed.scene.Proxy().shape, pressed.floor);
}

// A device 15 mm down into a 20 mm slab from the top is pushed up; reset, the proxy
// starts on the device and leaves by the nearer, lower face.
TEST(RenderingProxy, ResetForgetsWhichFaceTheDeviceCameIn) {
  Scene scene;
  scene.Add(std::make_shared<Box>(Vector3{0.0f, 0.0f, 0.0f}, Millimetres(50, 50, 10)));
  const std::vector<Vector3d> path = Path({{0, 0, 12}, {0, 0, -5}}, 1.0);
  EXPECT_NEAR(Forces(scene, path).back().z(), 15.0, 1e-3);
  scene.Reset();
  EXPECT_NEAR(Step(scene, path.back()).z(), -5.0, 1e-3);
  EXPECT_NEAR(scene.Proxy().position[2], -0.01f, 1e-6f);
}

TEST(RenderingProxy, StepRefusesAPositionNotFiniteOrATimeNotAboveZero) {
  PressedFloor pressed;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const Vector3 device = Millimetres(0, 0, -2);
  EXPECT_THROW(pressed.scene.Step({0.0f, nan, 0.0f}, kTick), std::invalid_argument);
  for (const double dt : {0.0, -kTick, std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity()}) {
    EXPECT_THROW(pressed.scene.Step(device, dt), std::invalid_argument) << dt;
  }
  EXPECT_THROW(pressed.scene.Add(nullptr), std::invalid_argument);
  EXPECT_EQ(pressed.scene.Force({nan, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}), (Vector3{0.0f, 0.0f, 0.0f}));
  EXPECT_NEAR(pressed.scene.Step(device, kTick)[2], 2.0f, 1e-3f);
}
