#include <cmath>

#include <gtest/gtest.h>

#include "ArmModel.h"
#include "PointMass.h"
#include "Tavix/HardwareAPI/ArmGeometry.h"

using Tavix::HardwareAPI::ArmGeometry;
using Tavix::Simulator::ArmModel;
using Tavix::Simulator::JointLimits;
using Tavix::Simulator::PointMass;
using Tavix::Simulator::Vector3;
using Command = ArmModel::Command;

namespace {

constexpr double kAngleSlack = 1e-6;  // degrees, for rounding on the way out

float Dot(const Vector3& a, const Vector3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Vector3 Minus(const Vector3& a, const Vector3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
float Norm(const Vector3& v) { return std::sqrt(Dot(v, v)); }

bool Within(double value, double min, double max) { return value >= min - kAngleSlack && value <= max + kAngleSlack; }

::testing::AssertionResult InsideWorkspace(const ArmModel& model) {
  const Vector3 a = model.JointAngles();
  const double heading = (a[1] + a[2]) / 2, spread = a[1] - a[2];
  const Vector3 position = model.EndEffectorPosition();
  const bool inside = Within(a[0], JointLimits::kBaseMin, JointLimits::kBaseMax) &&
                      Within(heading, JointLimits::kHeadingMin, JointLimits::kHeadingMax) &&
                      Within(spread, JointLimits::kSpreadMin, JointLimits::kSpreadMax);
  const bool finite = std::isfinite(position[0]) && std::isfinite(position[1]) && std::isfinite(position[2]);
  if (inside && finite) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "joint angles " << a[0] << ", " << a[1] << ", " << a[2] << " give "
                                       << position[0] << ", " << position[1] << ", " << position[2];
}

const Vector3 kAxes[] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};

TEST(ArmModel, StartsAtRestInsideTheWorkspace) {
  ArmModel model;
  EXPECT_EQ(model.JointAngles(), (Vector3{0, -60, -120}));
  EXPECT_EQ(model.JointVelocities(), (Vector3{}));
  EXPECT_TRUE(InsideWorkspace(model));
}

ArmModel::Settings WithPointMass(double mass, double damping, double resolution = 0, unsigned delay = 0) {
  ArmModel::Settings settings;
  settings.point_mass = PointMass::Settings{mass, damping, 0.0};
  settings.resolution = resolution;
  settings.delay = delay;
  return settings;
}

TEST(ArmModel, LargeForcesAndTorquesNeverLeaveTheWorkspace) {
  for (const ArmModel::Settings& settings : {ArmModel::Settings{}, WithPointMass(0.1, 2.0)}) {
    for (const Vector3& axis : kAxes) {
      for (const Command command : {Command::EndEffectorForce, Command::JointTorques, Command::EndEffectorPosition}) {
        ArmModel model(settings);
        model.Apply(command, {1000 * axis[0], 1000 * axis[1], 1000 * axis[2]});
        for (int i = 0; i < 30; ++i) {
          model.Advance(0.1);
          ASSERT_TRUE(InsideWorkspace(model)) << "after " << (i + 1) * 0.1 << " s";
        }
      }
    }
  }
}

TEST(ArmModel, ForceMovesTheEndEffectorAlongIt) {
  for (const Vector3& axis : kAxes) {
    ArmModel model;
    const Vector3 start = model.EndEffectorPosition();
    model.Apply(Command::EndEffectorForce, {2 * axis[0], 2 * axis[1], 2 * axis[2]});
    model.Advance(0.05);
    const Vector3 moved = Minus(model.EndEffectorPosition(), start);
    EXPECT_GT(Norm(moved), 1e-3f);
    EXPECT_GT(Dot(moved, axis), 0.5f * Norm(moved)) << "pushed along " << axis[0] << ", " << axis[1] << ", " << axis[2];
    EXPECT_GT(Dot(model.EndEffectorVelocity(), axis), 0.0f);
  }
}

TEST(ArmModel, PdLoopsSettleOnTheirTargets) {
  const Vector3 pose{15, -50, -115};
  const Vector3 target = ArmGeometry().ForwardKinematics(pose);

  ArmModel by_position;
  by_position.Apply(Command::EndEffectorPosition, target);
  by_position.Advance(2.0);
  EXPECT_LT(Norm(Minus(by_position.EndEffectorPosition(), target)), 1e-4f);
  EXPECT_LT(Norm(by_position.EndEffectorVelocity()), 1e-4f);

  ArmModel by_angles;
  by_angles.Apply(Command::JointAngles, pose);
  by_angles.Advance(2.0);
  for (std::size_t j = 0; j < 3; ++j) EXPECT_NEAR(by_angles.JointAngles()[j], pose[j], 0.01f) << "joint " << j;
}

TEST(ArmModel, MotionDoesNotDependOnHowOftenItIsAsked) {
  ArmModel once, often;
  once.Apply(Command::EndEffectorForce, {1, -1, 0.5f});
  often.Apply(Command::EndEffectorForce, {1, -1, 0.5f});
  once.Advance(0.5005);
  for (int i = 0; i < 2002; ++i) often.Advance(0.00025);
  EXPECT_EQ(once.JointAngles(), often.JointAngles());
  EXPECT_EQ(once.JointVelocities(), often.JointVelocities());
}

TEST(ArmModel, MotorsDrawCurrentForTorqueAndWarmUpThenCool) {
  ArmModel model;
  const float ambient = model.Temperature();
  model.Apply(Command::JointTorques, {1.0f, 0, 0});
  model.Advance(30);
  const Vector3 currents = model.MotorCurrents();
  EXPECT_GT(currents[0], 0.0f);
  EXPECT_EQ(currents[1], 0.0f);
  EXPECT_EQ(currents[2], 0.0f);
  const float warm = model.Temperature();
  EXPECT_GT(warm, ambient + 0.1f);

  model.Apply(Command::JointTorques, {0, 0, 0});
  model.Advance(300);
  EXPECT_EQ(model.MotorCurrents(), (Vector3{}));
  EXPECT_NEAR(model.Temperature(), ambient, 0.01f);
}

TEST(ArmModel, ForcesDriveThePointMassAndTheJointsFollowIt) {
  ArmModel model(WithPointMass(0.5, 0.0));
  const Vector3 start = model.EndEffectorPosition();
  model.Apply(Command::EndEffectorForce, {1, 0, -0.5f});
  model.Advance(0.1);  // a = (2, 0, -1) m/s^2
  const Vector3 moved = Minus(model.EndEffectorPosition(), start);
  EXPECT_NEAR(moved[0], 0.01f, 1e-6f);
  EXPECT_NEAR(moved[1], 0.0f, 1e-6f);
  EXPECT_NEAR(moved[2], -0.005f, 1e-6f);
  EXPECT_LT(Norm(Minus(model.EndEffectorVelocity(), {0.2f, 0, -0.1f})), 1e-6f);
  EXPECT_LT(Norm(Minus(ArmGeometry().ForwardKinematics(model.JointAngles()), model.EndEffectorPosition())), 1e-6f);
}

TEST(ArmModel, ResolutionQuantisesPositionsAndTheirDifferencesMakeTheVelocity) {
  constexpr double kResolution = 1e-3;
  ArmModel model(WithPointMass(0.5, 0.0, kResolution));
  model.Apply(Command::EndEffectorForce, {1, 0, 0});
  const Vector3 before = model.EndEffectorPosition();
  model.Advance(0.1);
  const Vector3 after = model.EndEffectorPosition();
  for (std::size_t i = 0; i < 3; ++i) {
    for (const float position : {before[i], after[i]}) {
      EXPECT_NEAR(position / kResolution, std::round(position / kResolution), 1e-3) << "axis " << i;
    }
    EXPECT_NEAR(model.EndEffectorVelocity()[i], (after[i] - before[i]) / 0.1, 1e-5) << "axis " << i;
  }
  EXPECT_NEAR(after[0] - before[0], 0.01f, 1e-3f);
}

TEST(ArmModel, DelayAppliesEachCommandThatManyCommandsLater) {
  ArmModel model(WithPointMass(0.5, 0.0, 0.0, 2));
  const Vector3 push{1, 0, 0};
  for (int command = 0; command < 3; ++command) {
    model.Apply(Command::EndEffectorForce, push);
    model.Advance(0.01);
    EXPECT_EQ(model.EndEffectorVelocity()[0] > 0, command == 2) << "after command " << command;
  }
}

}  // namespace
