#include <algorithm>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "Servo/PassivityController.h"

using namespace Tavix::HardwareAPI;
using namespace Tavix::HardwareAPI::Servo;

namespace {

constexpr double kPeriod = 0.001;  // s: a 1 kHz loop
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct StiffnessRow {
  const char* what;
  double device_damping, wall_damping, period;  // N s/m, N s/m, s
  double stiffness;                             // N/m
};

const StiffnessRow kStiffnessRows[] = {
    {"an undamped wall at 1 kHz", 2.0, 0.0, 0.001, 4000.0},
    {"twice the rate, twice the stiffness", 2.0, 0.0, 0.0005, 8000.0},
    {"the wall's damping takes its share", 2.0, 0.5, 0.001, 3000.0},
    {"so does a negative one", 2.0, -0.5, 0.001, 3000.0},
    {"none left at the device's damping", 2.0, 2.0, 0.001, 0.0},
    {"never negative beyond it", 2.0, 3.0, 0.001, 0.0},
    {"a device without damping", 0.0, 0.0, 0.001, 0.0},
};

struct DampedRow {
  const char* what;
  double energy;  // J, E before the tick
  Vector3 wanted;
  Vector3 velocity;
  double damping;  // N s/m added, to within 1e-4 of it
  Vector3 force;   // sent, to within 1e-4 N
};

// E is primed by observing a force of -energy / kPeriod N against a velocity of 1 m/s.
const DampedRow kDampedRows[] = {
    {"energy in: left alone", 0.0, {-1.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, 0.0, {-1.0f, 0.0f, 0.0f}},
    {"energy out, within what came in: left alone", 0.003, {2.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, 0.0,
     {2.0f, 0.0f, 0.0f}},
    {"energy out, more than came in: damped back to none", 0.001, {3.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, 2.0,
     {1.0f, 0.0f, 0.0f}},
    {"damping along the velocity only", 0.0, {0.0f, 2.0f, 0.0f}, {0.0f, 0.5f, 0.0f}, 4.0, {0.0f, 0.0f, 0.0f}},
    {"a deficit of earlier ticks is paid", -0.001, {0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 1.0f}, 1.0,
     {0.0f, 0.0f, -1.0f}},
    {"at most the bound, 50 N s/m at 1 kHz", 0.0, {100.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, 50.0,
     {50.0f, 0.0f, 0.0f}},
    {"no motion: no damping can help", -0.001, {1.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}, 0.0, {1.0f, 0.0f, 0.0f}},
    {"a force that is not finite is left to the safety", 0.0, {kNaN, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, 0.0,
     {kNaN, 0.0f, 0.0f}},
};

void ExpectNear(const Vector3& actual, const Vector3& expected) {
  for (std::size_t i = 0; i < 3; ++i) {
    if (std::isnan(expected[i])) {
      EXPECT_TRUE(std::isnan(actual[i]));
    } else {
      EXPECT_NEAR(actual[i], expected[i], 1e-4f);
    }
  }
}

// A one-axis arm (a mass with its own damping, pushed by a hand) against a wall rendered
// as the servo loop renders it: each tick the force is worked out from the arm's last
// reply and held until the next tick; the arm answers each force with its state as the
// force arrives. The arm is integrated in steps much finer than a tick.
class SampledWall {
 public:
  static constexpr double kMass = 0.2;           // kg
  static constexpr double kDeviceDamping = 1.0;  // N s/m: walls above 2000 N/m are active at 1 kHz
  static constexpr double kStiffness = 10000.0;  // N/m, the wall at x = 0, free for x > 0
  static constexpr double kHand = -0.5;          // N, pressing into the wall
  static constexpr int kSteps = 40;              // per tick

  explicit SampledWall(bool control) : control_(control) {}

  // One tick; returns E as the loop shows it once the force is sent.
  double Tick() {
    const Vector3 velocity{static_cast<float>(replied_velocity_), 0.0f, 0.0f};
    passivity_.Observe(sent_, velocity);  // the last force, with the reply to it
    const Vector3 wanted{static_cast<float>(kStiffness * std::max(0.0, -replied_position_)), 0.0f, 0.0f};
    sent_ = control_ ? passivity_.Damped(wanted, velocity).force : wanted;
    const double energy = passivity_.Expected(sent_, velocity);
    replied_position_ = position_;
    replied_velocity_ = velocity_;
    Hold(sent_[0]);
    return energy;
  }

 private:
  void Hold(double force) {
    const double step = kPeriod / kSteps;
    for (int i = 0; i < kSteps; ++i) {
      velocity_ += step * (force + kHand - kDeviceDamping * velocity_) / kMass;
      position_ += step * velocity_;
    }
  }

  const bool control_;
  PassivityController passivity_{kPeriod};
  double position_ = 0.002;  // m
  double velocity_ = -0.05;  // m/s
  double replied_position_ = position_;
  double replied_velocity_ = velocity_;
  Vector3 sent_{};
};

double LowestEnergy(bool control) {
  SampledWall wall(control);
  double lowest = 0.0;
  for (int tick = 0; tick < 3000; ++tick) lowest = std::min(lowest, wall.Tick());
  return lowest;
}

}  // namespace

TEST(Passivity, LargestPassiveStiffnessIsTwiceTheDampingLeftOverThePeriod) {
  for (const StiffnessRow& row : kStiffnessRows) {
    SCOPED_TRACE(row.what);
    EXPECT_DOUBLE_EQ(LargestPassiveStiffness(row.device_damping, row.wall_damping, row.period), row.stiffness);
  }
  EXPECT_TRUE(std::isnan(LargestPassiveStiffness(2.0, std::nan(""), 0.001)));
}

TEST(Passivity, ControllerAddsDampingAgainstTheVelocityOnlyWhenTheEnergyWouldGoBelowZero) {
  for (const DampedRow& row : kDampedRows) {
    SCOPED_TRACE(row.what);
    PassivityController passivity(kPeriod);
    passivity.Observe({static_cast<float>(-row.energy / kPeriod), 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f});
    const PassiveForce passive = passivity.Damped(row.wanted, row.velocity);
    EXPECT_NEAR(passive.damping, row.damping, 1e-4);
    ExpectNear(passive.force, row.force);
    const double speed_squared = row.velocity[0] * row.velocity[0] + row.velocity[1] * row.velocity[1] +
                                 row.velocity[2] * row.velocity[2];
    EXPECT_NEAR(passive.dissipated, passive.damping * speed_squared * kPeriod, 1e-12);
    if (passive.damping > 0.0 && passive.damping < passivity.MaxDamping()) {
      const double energy = passivity.Expected(passive.force, row.velocity);
      EXPECT_GE(energy, 0.0);
      EXPECT_LT(energy, 1e-7);
    }
  }
}

TEST(Passivity, KeepsASampledStiffWallPassiveThatWithoutControlGivesEnergyBack) {
  EXPECT_LT(LowestEnergy(false), -1e-3);
  EXPECT_GE(LowestEnergy(true), 0.0);
}
