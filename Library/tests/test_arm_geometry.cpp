#include <cmath>

#include <gtest/gtest.h>

#include "Tavix/HardwareAPI/ArmGeometry.h"

using Tavix::HardwareAPI::ArmGeometry;
using Tavix::HardwareAPI::Vector3;

namespace {

constexpr float kFiveDecimals = 5e-6f;

void ExpectPosition(const Vector3& actual, const Vector3& expected) {
  EXPECT_NEAR(actual[0], expected[0], kFiveDecimals);
  EXPECT_NEAR(actual[1], expected[1], kFiveDecimals);
  EXPECT_NEAR(actual[2], expected[2], kFiveDecimals);
}

TEST(ArmGeometryKinematics, DefaultLengthsGiveTheReferencePoses) {
  ArmGeometry geometry;
  ExpectPosition(geometry.ForwardKinematics({0, 0, 0}), {0.00000f, 0.02450f, -0.11855f});
  // The elbows coincide here, so the distal link keeps the proximal link's direction.
  ExpectPosition(geometry.ForwardKinematics({0, -90, -90}), {-0.30500f, 0.02450f, 0.18644f});
  ExpectPosition(geometry.ForwardKinematics({0, -60, -120}), {-0.27066f, 0.02450f, 0.18644f});
  ExpectPosition(geometry.ForwardKinematics({30, -45, -135}), {-0.21230f, -0.09428f, 0.18644f});
}

TEST(ArmGeometryKinematics, LengthsCanBeChangedAndRestored) {
  ArmGeometry geometry;
  geometry.configure(0.15f, 0.15f, 0.18f, 0.18f, 0.08f);
  ExpectPosition(geometry.ForwardKinematics({0, -60, -120}), {-0.29353f, 0.02800f, 0.18644f});
  geometry.configure();
  ExpectPosition(geometry.ForwardKinematics({0, -60, -120}), {-0.27066f, 0.02450f, 0.18644f});
}

TEST(ArmGeometryKinematics, ExtensionSignDoesNotMatter) {
  ArmGeometry positive, negative;
  negative.configure(0.14f, 0.14f, 0.165f, 0.165f, -0.0765f);
  for (const Vector3& angles : {Vector3{0, 0, 0}, Vector3{30, -45, -135}, Vector3{-20, -70, -100}}) {
    EXPECT_EQ(negative.ForwardKinematics(angles), positive.ForwardKinematics(angles));
  }
}

TEST(ArmGeometryKinematics, UnreachablePoseIsNaNNotACrash) {
  ArmGeometry geometry;
  geometry.configure(0.14f, 0.14f, 0.01f, 0.01f, 0.0765f);
  const Vector3 position = geometry.ForwardKinematics({0, 0, -180});
  EXPECT_TRUE(std::isnan(position[0]));
}

TEST(ArmGeometryCalibration, OffsetsMakeTheMeasuredPoseTheTargetPose) {
  ArmGeometry reference, calibrated;
  calibrated.Calibrate({10, 20, 30}, {0, 0, 0});
  const Vector3 offsets = calibrated.Offsets();
  EXPECT_NEAR(offsets[0], 0.174533f, 1e-6f);
  EXPECT_NEAR(offsets[1], -0.349066f, 1e-6f);
  EXPECT_NEAR(offsets[2], -0.523599f, 1e-6f);
  ExpectPosition(calibrated.ForwardKinematics({10, 20, 30}), reference.ForwardKinematics({0, 0, 0}));

  calibrated.configure(0.15f, 0.15f, 0.18f, 0.18f, 0.08f);
  EXPECT_EQ(calibrated.Offsets(), offsets) << "changing lengths keeps the calibration";
}

}  // namespace
