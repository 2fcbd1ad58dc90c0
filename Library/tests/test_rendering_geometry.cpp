#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "Icosphere.h"
#include "Rendering/Geometry.h"
#include "Rendering/PoseTransform.h"
#include "Tavix/HardwareAPI/Rendering/Box.h"
#include "Tavix/HardwareAPI/Rendering/Capsule.h"
#include "Tavix/HardwareAPI/Rendering/Mesh.h"
#include "Tavix/HardwareAPI/Rendering/Plane.h"
#include "Tavix/HardwareAPI/Rendering/Sphere.h"

using namespace Tavix::HardwareAPI;
using namespace Tavix::HardwareAPI::Rendering;
using Eigen::Vector3d;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr double kTolerance = 1e-6;  // what a pose of floats allows
const double kHalfRoot2 = std::sqrt(0.5);

// The shapes the tables query, in the scene's frame.
const Sphere kBall({0.125f, 0.0f, 0.0f}, 0.0625f);
const Box kBox({0.0f, 0.0f, 0.0f}, {0.25f, 0.125f, 0.0625f});
// A quarter turn about z: 0.125 along x, 0.25 along y in the scene.
const Box kTurnedBox({0.0f, 0.0f, 0.5f}, {0.25f, 0.125f, 0.0625f}, {0.0f, 0.0f, 1.0f, 1.0f});
const Plane kSlope({0.0f, 0.0f, 0.0f}, {0.0f, 1.0f, 1.0f});  // solid where y + z < 0
const Capsule kCapsule({0.0f, 0.0f, 0.0f}, {0.0f, 0.5f, 0.0f}, 0.125f);
const Capsule kPointCapsule({0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}, 0.0625f);

// FirstEntry in the scene's frame. Also checks that the entry lies on the surface (or
// where the segment started, just inside it), and that a point 1 um out along the
// normal is outside.
std::optional<Entry> EnterInScene(const Shape& shape, const Vector3d& from, const Vector3d& to) {
  const Eigen::Isometry3d pose = ToTransform(shape.GetPose());
  const Vector3d own_from = pose.inverse() * from;
  const Vector3d own_to = pose.inverse() * to;
  Entry entry;
  if (!shape.Surface().FirstEntry(own_from, own_to, entry)) return std::nullopt;
  const Vector3d at = own_from + entry.fraction * (own_to - own_from);
  EXPECT_NEAR(shape.Surface().NearestSurface(at).distance, 0.0, 1e-8);
  EXPECT_GT(shape.Surface().NearestSurface(at + 1e-6 * entry.normal).distance, 0.0);
  entry.normal = pose.linear() * entry.normal;
  return entry;
}

// NearestSurface in the scene's frame. Also checks that the nearest point lies the
// distance back along the normal.
Nearest NearestInScene(const Shape& shape, const Vector3d& point) {
  const Eigen::Isometry3d pose = ToTransform(shape.GetPose());
  Nearest nearest = shape.Surface().NearestSurface(pose.inverse() * point);
  nearest.point = pose * nearest.point;
  nearest.normal = pose.linear() * nearest.normal;
  EXPECT_TRUE(nearest.point.isApprox(point - nearest.distance * nearest.normal, kTolerance) ||
              (nearest.point - point + nearest.distance * nearest.normal).norm() < kTolerance);
  return nearest;
}

void ExpectNear(const Vector3d& actual, const Vector3d& expected, double tolerance) {
  EXPECT_LT((actual - expected).norm(), tolerance) << "actual " << actual.transpose() << ", expected "
                                                   << expected.transpose();
}

}  // namespace

TEST(RenderingGeometry, PrimitivesFindWhereASegmentFirstEnters) {
  struct Case {
    const char* name;
    const Shape& shape;
    Vector3d from, to;
    bool enters;
    double fraction;
    Vector3d normal;
  };
  const Vector3d none = Vector3d::Zero();
  const Case cases[] = {
      {"ball from above", kBall, {0.125, 0, 0.25}, {0.125, 0, 0}, true, 0.75, {0, 0, 1}},
      {"ball, missed", kBall, {0.25, 0, 0.25}, {0.25, 0, -0.25}, false, 0, none},
      {"ball, from inside", kBall, {0.125, 0, 0.03125}, {0.125, 0, 0.5}, false, 0, none},
      {"ball, touched", kBall, {0.1875, 0, 0.25}, {0.1875, 0, -0.25}, false, 0, none},
      {"ball, from 5 nm inside, going in", kBall, {0.125, 0, 0.0625 - 5e-9}, {0.125, 0, 0}, true, 0, {0, 0, 1}},
      {"ball, short", kBall, {0.125, 0, 0.25}, {0.125, 0, 0.125}, false, 0, none},
      {"box from +x", kBox, {0.5, 0, 0}, {0, 0, 0}, true, 0.5, {1, 0, 0}},
      {"box from below", kBox, {0.125, 0.0625, -0.5}, {0.125, 0.0625, 0.5}, true, 0.4375, {0, 0, -1}},
      {"box, along a face", kBox, {0.25, -1, 0}, {0.25, 1, 0}, false, 0, none},
      {"box, from inside", kBox, {0.125, 0, 0}, {1, 0, 0}, false, 0, none},
      {"box, past a corner", kBox, {0.5, 0, 0}, {0, 0.5, 0}, false, 0, none},
      {"box, from 5 nm inside, going in", kBox, {0.25 - 5e-9, 0, 0}, {0, 0, 0}, true, 0, {1, 0, 0}},
      {"box, from 5 nm inside, going out", kBox, {0.25 - 5e-9, 0, 0}, {0.5, 0, 0}, false, 0, none},
      {"box, from 1 um inside, going in", kBox, {0.25 - 1e-6, 0, 0}, {0, 0, 0}, false, 0, none},
      {"turned box from -y", kTurnedBox, {0, -0.5, 0.5}, {0, 0.5, 0.5}, true, 0.25, {0, -1, 0}},
      {"turned box from +x", kTurnedBox, {0.5, 0, 0.5}, {0, 0, 0.5}, true, 0.75, {1, 0, 0}},
      {"turned box, missed", kTurnedBox, {0.1875, -0.5, 0.5}, {0.1875, 0.5, 0.5}, false, 0, none},
      {"slope from above", kSlope, {0, 0, 1}, {0, 0, -1}, true, 0.5, {0, kHalfRoot2, kHalfRoot2}},
      {"slope, along it", kSlope, {0, 1, 0}, {0, 0, 1}, false, 0, none},
      {"slope, from inside", kSlope, {0, -1, 0}, {0, 1, 1}, false, 0, none},
      {"slope, short", kSlope, {0, 0, 1}, {0, 0, 0.5}, false, 0, none},
      {"capsule side", kCapsule, {0.5, 0.25, 0}, {0, 0.25, 0}, true, 0.75, {1, 0, 0}},
      {"capsule end b", kCapsule, {0, 1, 0}, {0, 0.5, 0}, true, 0.75, {0, 1, 0}},
      {"capsule end a", kCapsule, {0, -0.5, 0}, {0, 0, 0}, true, 0.75, {0, -1, 0}},
      {"capsule end b, aslant", kCapsule, {0.5, 1, 0}, {0, 0.5, 0}, true, 1 - 0.125 / std::sqrt(0.5),
       {kHalfRoot2, kHalfRoot2, 0}},
      {"capsule, skimmed", kCapsule, {0.125 + 1e-6, 0.25, 1}, {0.125 + 1e-6, 0.25, -1}, false, 0, none},
      {"capsule, from inside", kCapsule, {0, 0.5, 0.0625}, {0, 0.5, 1}, false, 0, none},
      {"point capsule", kPointCapsule, {0.25, 0, 0}, {0, 0, 0}, true, 0.75, {1, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<Entry> entry = EnterInScene(c.shape, c.from, c.to);
    ASSERT_EQ(entry.has_value(), c.enters);
    if (!c.enters) continue;
    EXPECT_NEAR(entry->fraction, c.fraction, kTolerance);
    ExpectNear(entry->normal, c.normal, kTolerance);
  }
}

TEST(RenderingGeometry, PrimitivesFindTheNearestSurfaceAndTheSignedDistance) {
  struct Case {
    const char* name;
    const Shape& shape;
    Vector3d point;
    double distance;
    Vector3d normal;
  };
  const Case cases[] = {
      {"ball, outside", kBall, {0.125, 0, 0.125}, 0.0625, {0, 0, 1}},
      {"ball, inside", kBall, {0.125, 0, 0.03125}, -0.03125, {0, 0, 1}},
      {"ball, on", kBall, {0.1875, 0, 0}, 0, {1, 0, 0}},
      {"box, past an edge", kBox, {0.5, 0.25, 0}, std::hypot(0.25, 0.125), Vector3d(2, 1, 0).normalized()},
      {"box, inside by a face", kBox, {0.1875, 0, 0}, -0.0625, {1, 0, 0}},
      {"box, inside by the top", kBox, {0, 0, 0.03125}, -0.03125, {0, 0, 1}},
      {"turned box, outside", kTurnedBox, {0, -0.3125, 0.5}, 0.0625, {0, -1, 0}},
      {"turned box, inside", kTurnedBox, {0.09375, 0, 0.5}, -0.03125, {1, 0, 0}},
      {"slope, outside", kSlope, {0, 1, 1}, std::sqrt(2.0), {0, kHalfRoot2, kHalfRoot2}},
      {"slope, inside", kSlope, {0, -1, 0}, -kHalfRoot2, {0, kHalfRoot2, kHalfRoot2}},
      {"capsule side", kCapsule, {0.25, 0.25, 0}, 0.125, {1, 0, 0}},
      {"capsule end b", kCapsule, {0, 0.75, 0}, 0.125, {0, 1, 0}},
      {"capsule end a, inside", kCapsule, {0, -0.0625, 0}, -0.0625, {0, -1, 0}},
      {"capsule axis", kCapsule, {0, 0.25, 0}, -0.125, {1, 0, 0}},
      {"point capsule", kPointCapsule, {0, 0, 0.125}, 0.0625, {0, 0, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Nearest nearest = NearestInScene(c.shape, c.point);
    EXPECT_NEAR(nearest.distance, c.distance, kTolerance);
    ExpectNear(nearest.normal, c.normal, kTolerance);
  }
}

TEST(RenderingGeometry, PrimitivesKeepTheirFrameInThePose) {
  EXPECT_EQ(kBall.GetPose().position, (Vector3{0.125f, 0.0f, 0.0f}));
  EXPECT_EQ(kBall.Radius(), 0.0625f);
  EXPECT_EQ(kTurnedBox.HalfExtents(), (Vector3{0.25f, 0.125f, 0.0625f}));
  EXPECT_NEAR(kTurnedBox.GetPose().rotation[3], kHalfRoot2, 1e-7);
  const Vector3 normal = kSlope.Normal();
  ExpectNear({normal[0], normal[1], normal[2]}, {0, kHalfRoot2, kHalfRoot2}, kTolerance);
  EXPECT_EQ(kCapsule.GetPose().position, (Vector3{0.0f, 0.25f, 0.0f}));
  EXPECT_TRUE(kSlope.Surface().Bounds().contains(Vector3d(1e6, -1e6, -1e6)));
  EXPECT_TRUE(kCapsule.Surface().Bounds().isApprox(
      Eigen::AlignedBox3d(Vector3d(-0.125, -0.125, -0.375), Vector3d(0.125, 0.125, 0.375))));
}

TEST(RenderingGeometry, ShapeSettersNormaliseOrRefuseAndKeepTheOldValue) {
  Sphere ball({0.0f, 0.0f, 0.0f}, 0.1f, {500.0f, 1.0f, 0.5f, 0.25f});
  ball.SetRotation({0.0f, 0.0f, 2.0f, 0.0f});
  EXPECT_EQ(ball.GetPose().rotation, (Rotation{0.0f, 0.0f, 1.0f, 0.0f}));
  ball.SetPosition({0.0f, 0.5f, 0.0f});
  EXPECT_EQ(ball.GetPose().rotation, (Rotation{0.0f, 0.0f, 1.0f, 0.0f}));
  const std::function<void()> refused[] = {
      [&] { ball.SetPose({{kNaN, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f, 1.0f}}); },
      [&] { ball.SetPosition({0.0f, 0.0f, std::numeric_limits<float>::infinity()}); },
      [&] { ball.SetRotation({0.0f, 0.0f, 0.0f, 0.0f}); },
      [&] { ball.SetRotation({0.0f, kNaN, 0.0f, 1.0f}); },
      [&] { ball.SetMaterial({-1.0f, 0.0f, 0.0f, 0.0f}); },
      [&] { ball.SetMaterial({1.0f, kNaN, 0.0f, 0.0f}); },
      [&] { ball.SetMaterial({1.0f, 0.0f, 0.25f, 0.5f}); },  // dynamic above static
  };
  for (const auto& set : refused) EXPECT_THROW(set(), std::invalid_argument);
  EXPECT_EQ(ball.GetPose().position, (Vector3{0.0f, 0.5f, 0.0f}));
  EXPECT_EQ(ball.GetPose().rotation, (Rotation{0.0f, 0.0f, 1.0f, 0.0f}));
  EXPECT_EQ(ball.GetMaterial().static_friction, 0.5f);
  EXPECT_EQ(ball.GetMaterial().dynamic_friction, 0.25f);
}

TEST(RenderingGeometry, ShapesRefuseInvalidInput) {
  const Vector3 origin{0.0f, 0.0f, 0.0f};
  const std::vector<std::array<std::uint32_t, 3>> one{{0, 1, 2}};
  const std::vector<Vector3> corners{{0.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, {0.0f, 1.0f, 0.0f}};
  const std::function<void()> constructions[] = {
      [&] { Sphere(origin, 0.0f); },
      [&] { Sphere(origin, -1.0f); },
      [&] { Sphere({kNaN, 0.0f, 0.0f}, 1.0f); },
      [&] { Sphere(origin, 1.0f, {1.0f, 0.0f, 0.0f, 1.0f}); },  // dynamic above static
      [&] { Box(origin, {1.0f, 0.0f, 1.0f}); },
      [&] { Box(origin, {1.0f, 1.0f, 1.0f}, {0.0f, 0.0f, 0.0f, 0.0f}); },
      [&] { Box(origin, {1.0f, 1.0f, kNaN}); },
      [&] { Plane(origin, {0.0f, 0.0f, 0.0f}); },
      [&] { Plane(origin, {0.0f, kNaN, 1.0f}); },
      [&] { Capsule(origin, {0.0f, 0.0f, 1.0f}, 0.0f); },
      [&] { Capsule(origin, {0.0f, 0.0f, kNaN}, 1.0f); },
      [&] { Mesh(corners, {}); },
      [&] { Mesh(corners, {{0, 1, 3}}); },                                                  // index past the end
      [&] { Mesh(corners, {{0, 1, 1}}); },                                                  // no area
      [&] { Mesh({{0.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, {2.0f, 0.0f, 0.0f}}, one); },  // no area
      [&] { Mesh({{0.0f, 0.0f, 0.0f}, {kNaN, 0.0f, 0.0f}, {0.0f, 1.0f, 0.0f}}, one); },
  };
  for (const auto& construct : constructions) EXPECT_THROW(construct(), std::invalid_argument);
}

TEST(RenderingGeometry, MeshOfOneTriangleIsFeltFromItsFrontOnly) {
  // Counter-clockwise seen from +z; a second triangle of no area is dropped.
  const Mesh sheet({{0.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, {0.0f, 1.0f, 0.0f}, {2.0f, 0.0f, 0.0f}},
                   {{0, 1, 2}, {0, 1, 3}});
  EXPECT_EQ(sheet.TriangleCount(), 1u);
  const Geometry& surface = sheet.Surface();
  Entry entry;
  ASSERT_TRUE(surface.FirstEntry({0.25, 0.25, 1.0}, {0.25, 0.25, -1.0}, entry));
  EXPECT_NEAR(entry.fraction, 0.5, 1e-12);
  ExpectNear(entry.normal, {0, 0, 1}, 1e-12);
  EXPECT_FALSE(surface.FirstEntry({0.25, 0.25, -1.0}, {0.25, 0.25, 1.0}, entry));
  EXPECT_FALSE(surface.FirstEntry({0.25, 0.25, -1e-6}, {0.25, 0.25, -1.0}, entry));
  ASSERT_TRUE(surface.FirstEntry({0.25, 0.25, -5e-9}, {0.25, 0.25, -1.0}, entry));  // just behind: on it
  EXPECT_EQ(entry.fraction, 0.0);
  EXPECT_FALSE(surface.FirstEntry({1.0, 1.0, 1.0}, {1.0, 1.0, -1.0}, entry));
  EXPECT_NEAR(surface.NearestSurface({0.25, 0.25, 0.5}).distance, 0.5, 1e-12);
  EXPECT_NEAR(surface.NearestSurface({0.25, 0.25, -0.5}).distance, -0.5, 1e-12);
}

TEST(RenderingGeometry, ClosedMeshSignsPointsNearEdgesAndCornersLikeTheSolid) {
  // A cube of half size 0.5 given as separate triangles, as an STL file gives it: the
  // mesh joins the corners it shares.
  std::vector<Vector3> vertices;
  std::vector<std::array<std::uint32_t, 3>> triangles;
  for (int axis = 0; axis < 3; ++axis) {
    for (const float side : {-0.5f, 0.5f}) {
      const int u = (axis + 1) % 3;
      const int v = (axis + 2) % 3;
      const float square[4][2] = {{-0.5f, -0.5f}, {0.5f, -0.5f}, {0.5f, 0.5f}, {-0.5f, 0.5f}};
      std::array<Vector3, 4> corner{};
      for (int i = 0; i < 4; ++i) {
        corner[i][axis] = side;
        corner[i][u] = square[i][0];
        corner[i][v] = side > 0.0f ? square[i][1] : -square[i][1];  // counter-clockwise from outside
      }
      for (const auto& triangle : {std::array<int, 3>{0, 1, 2}, std::array<int, 3>{0, 2, 3}}) {
        const auto first = static_cast<std::uint32_t>(vertices.size());
        for (const int i : triangle) vertices.push_back(corner[i]);
        triangles.push_back({first, first + 1, first + 2});
      }
    }
  }
  const Mesh cube(vertices, triangles);
  const Box solid({0.0f, 0.0f, 0.0f}, {0.5f, 0.5f, 0.5f});
  const Vector3d points[] = {{0.6, 0.6, 0.6},    {0.45, 0.44, 0.43}, {0.6, 0.6, 0.0},  {0.45, 0.49, 0.0},
                             {0.5, 0.5, 0.25},   {-0.6, 0.2, -0.55}, {0.05, 0.02, 0.0}, {0.499, -0.3, 0.498},
                             {0.3, 0.3, 0.501},  {-0.5, -0.5, -0.5}, {0.2, -0.7, 0.1}, {-0.49, -0.48, -0.47}};
  for (const Vector3d& point : points) {
    SCOPED_TRACE(point.transpose());
    const Nearest expected = solid.Surface().NearestSurface(point);
    const Nearest nearest = cube.Surface().NearestSurface(point);
    EXPECT_NEAR(nearest.distance, expected.distance, 1e-9);
    if (expected.distance != 0.0) ExpectNear(nearest.normal, expected.normal, 1e-9);
  }
}

TEST(RenderingGeometry, IcosphereMeshMatchesTheSphere) {
  constexpr double kRadius = 0.1;
  constexpr double kDepth = 0.005;
  const Tavix::Testing::TriangleMesh sphere = Tavix::Testing::Icosphere(static_cast<float>(kRadius), 32);
  const Mesh mesh(sphere.vertices, sphere.triangles);
  ASSERT_EQ(mesh.TriangleCount(), 20480u);
  const Geometry& surface = mesh.Surface();
  // Directions spread over the sphere (a Fibonacci lattice).
  for (int i = 0; i < 64; ++i) {
    const double z = 1.0 - (2.0 * i + 1.0) / 64.0;
    const double angle = 2.399963229728653 * i;
    const Vector3d direction(std::sqrt(1.0 - z * z) * std::cos(angle), std::sqrt(1.0 - z * z) * std::sin(angle), z);
    SCOPED_TRACE(direction.transpose());
    for (const double depth : {-kDepth, kDepth}) {
      const Nearest nearest = surface.NearestSurface((kRadius + depth) * direction);
      EXPECT_NEAR(nearest.distance, depth, 0.01 * kDepth);
      EXPECT_GT(nearest.normal.dot(direction), 0.99);
    }
    Entry entry;
    const Vector3d outside = (kRadius + kDepth) * direction;
    const Vector3d inside = (kRadius - kDepth) * direction;
    ASSERT_TRUE(surface.FirstEntry(outside, inside, entry));
    EXPECT_NEAR(entry.fraction, 0.5, 0.01);
    EXPECT_GT(entry.normal.dot(direction), 0.99);
    const Vector3d at = outside + entry.fraction * (inside - outside);
    EXPECT_GT(surface.NearestSurface(at + 1e-6 * entry.normal).distance, 0.0);
    EXPECT_FALSE(surface.FirstEntry(inside, outside, entry));
  }
  EXPECT_NEAR(surface.NearestSurface(Vector3d::Zero()).distance, -kRadius, 0.01 * kDepth);
}
