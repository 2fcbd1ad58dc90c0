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
    {"an undamped wall at 1 kHz, with the loop's tick of delay", 1.5, 0.0, 0.001, 1000.0},
    {"twice the rate, twice the stiffness", 1.5, 0.0, 0.0005, 2000.0},
    {"the wall's damping takes its share", 2.0, 0.5, 0.001, 1000.0},
    {"so does a negative one", 2.0, -0.5, 0.001, 1000.0},
    {"none left at the device's damping", 2.0, 2.0, 0.001, 0.0},
    {"never negative beyond it", 2.0, 3.0, 0.001, 0.0},
    {"a device without damping", 0.0, 0.0, 0.001, 0.0},
};

struct ObservedRow {
  const char* what;
  struct Exchange {
    Vector3 sent;
    bool answered;
    Vector3 position, velocity;
  } exchanges[3];
  double energy;  // J, E after them
};

const ObservedRow kObservedRows[] = {
    {"each force over the displacement it was held for",
     {{{1.0f, 0.0f, 0.0f}, true, {0.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}},
      {{2.0f, 0.0f, 0.0f}, true, {0.25f, 0.0f, 0.0f}, {-9.0f, 0.0f, 0.0f}},
      {{0.0f, 0.0f, 0.0f}, true, {0.5f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}}},
     -0.75},
    {"along the force only",
     {{{0.0f, 4.0f, 0.0f}, true, {0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}},
      {{0.0f, 0.0f, 0.0f}, true, {1.0f, -0.5f, 2.0f}, {0.0f, 0.0f, 0.0f}},
      {{0.0f, 0.0f, 0.0f}, true, {2.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}}},
     2.0},
    {"the force in flight is not counted yet",
     {{{0.0f, 0.0f, 0.0f}, true, {0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}},
      {{0.0f, 0.0f, 0.0f}, true, {0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}},
      {{5.0f, 0.0f, 0.0f}, true, {0.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}}},
     0.0},
    {"a failed exchange: the force before at its velocity, the failed one not at all",
     {{{3.0f, 0.0f, 0.0f}, true, {0.0f, 0.0f, 0.0f}, {2.0f, 0.0f, 0.0f}},
      {{7.0f, 0.0f, 0.0f}, false, {0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}},
      {{0.0f, 0.0f, 0.0f}, true, {9.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}}},
     -0.006},
    {"a position that is not finite counts as a failed exchange",
     {{{3.0f, 0.0f, 0.0f}, true, {0.0f, 0.0f, 0.0f}, {2.0f, 0.0f, 0.0f}},
      {{0.0f, 0.0f, 0.0f}, true, {kNaN, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}},
      {{0.0f, 0.0f, 0.0f}, true, {9.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}}},
     -0.006},
};

struct DampedRow {
  const char* what;
  double energy;       // J, E before the tick
  Vector3 in_flight;   // N, the force sent in the last exchange
  Vector3 wanted;
  Vector3 velocity;
  double damping;  // N s/m added, to within 1e-4 of it
  Vector3 force;   // sent, to within 1e-4 N
};

// E is primed by holding a force of -energy N over a metre, then sending `in_flight`.
const DampedRow kDampedRows[] = {
    {"energy in: left alone", 0.0, {}, {-1.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, 0.0, {-1.0f, 0.0f, 0.0f}},
    {"energy out, within what came in: left alone", 0.003, {}, {2.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, 0.0,
     {2.0f, 0.0f, 0.0f}},
    {"energy out, more than came in: damped back to none", 0.001, {}, {3.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f},
     2.0, {1.0f, 0.0f, 0.0f}},
    {"the force in flight is predicted too", 0.001, {2.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f},
     2.0, {-1.0f, 0.0f, 0.0f}},
    {"damping along the velocity only", 0.0, {}, {0.0f, 2.0f, 0.0f}, {0.0f, 0.5f, 0.0f}, 4.0, {0.0f, 0.0f, 0.0f}},
    {"a deficit of earlier ticks is paid", -0.001, {}, {0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 1.0f}, 1.0,
     {0.0f, 0.0f, -1.0f}},
    {"at most the bound, 50 N s/m at 1 kHz", 0.0, {}, {100.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, 50.0,
     {50.0f, 0.0f, 0.0f}},
    {"no motion: no damping can help", -0.001, {}, {1.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}, 0.0,
     {1.0f, 0.0f, 0.0f}},
    {"a force that is not finite is left to the safety", 0.0, {}, {kNaN, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, 0.0,
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

// A one-axis arm (a mass with its own damping) thrown against a wall rendered as the servo
// loop renders it: each tick the force is worked out from the arm's last reply and held
// until the next tick; the arm answers each force with its state as the force arrives.
// The arm is integrated in steps much finer than a tick. The wall is 7.5 times
// LargestPassiveStiffness (667 N/m): it throws the arm back faster than it came.
class SampledWall {
 public:
  static constexpr double kMass = 0.2;           // kg
  static constexpr double kDeviceDamping = 1.0;  // N s/m
  static constexpr double kStiffness = 5000.0;   // N/m, the wall at x = 0, free for x > 0
  static constexpr int kSteps = 40;              // per tick

  explicit SampledWall(bool control) : control_(control) {}

  // One tick: the force from the last reply, sent and answered, then held. Returns E as
  // the loop shows it once the force is sent: the holds in flight predicted.
  double Tick() {
    const Vector3 velocity{static_cast<float>(replied_velocity_), 0.0f, 0.0f};
    const Vector3 wanted{static_cast<float>(kStiffness * std::max(0.0, -replied_position_)), 0.0f, 0.0f};
    const Vector3 sent = control_ ? passivity_.Damped(wanted, velocity).force : wanted;
    const double shown = passivity_.Expected(sent, velocity);
    replied_position_ = position_;
    replied_velocity_ = velocity_;
    passivity_.Observe(sent, true, Along(position_), Along(velocity_));
    Hold(sent[0]);
    return shown;
  }

  // E for the holds completed.
  double Counted() const { return passivity_.Energy(); }

 private:
  static Vector3 Along(double value) { return {static_cast<float>(value), 0.0f, 0.0f}; }

  void Hold(double force) {
    const double step = kPeriod / kSteps;
    for (int i = 0; i < kSteps; ++i) {
      velocity_ += step * (force - kDeviceDamping * velocity_) / kMass;
      position_ += step * velocity_;
    }
  }

  const bool control_;
  PassivityController passivity_{kPeriod};
  double position_ = 0.002;  // m
  double velocity_ = -0.05;  // m/s
  double replied_position_ = position_;
  double replied_velocity_ = velocity_;
};

struct Lowest {
  double shown = 0.0;    // J, E as the loop shows it
  double counted = 0.0;  // J, E for the holds completed
};

Lowest LowestEnergy(bool control) {
  SampledWall wall(control);
  Lowest lowest;
  for (int tick = 0; tick < 300; ++tick) {
    lowest.shown = std::min(lowest.shown, wall.Tick());
    lowest.counted = std::min(lowest.counted, wall.Counted());
  }
  return lowest;
}

}  // namespace

TEST(Passivity, LargestPassiveStiffnessIsTheDampingLeftOverOneAndAHalfPeriods) {
  for (const StiffnessRow& row : kStiffnessRows) {
    SCOPED_TRACE(row.what);
    EXPECT_DOUBLE_EQ(LargestPassiveStiffness(row.device_damping, row.wall_damping, row.period), row.stiffness);
  }
  EXPECT_TRUE(std::isnan(LargestPassiveStiffness(2.0, std::nan(""), 0.001)));
}

TEST(Passivity, ObserverCountsEachHeldForceOverTheDisplacementItWasHeldFor) {
  for (const ObservedRow& row : kObservedRows) {
    SCOPED_TRACE(row.what);
    PassivityController passivity(kPeriod);
    for (const ObservedRow::Exchange& exchange : row.exchanges) {
      passivity.Observe(exchange.sent, exchange.answered, exchange.position, exchange.velocity);
    }
    EXPECT_NEAR(passivity.Energy(), row.energy, 1e-9);
  }
}

TEST(Passivity, ControllerAddsDampingAgainstTheVelocityOnlyWhenTheEnergyWouldGoBelowZero) {
  const Vector3 still{};
  for (const DampedRow& row : kDampedRows) {
    SCOPED_TRACE(row.what);
    PassivityController passivity(kPeriod);
    passivity.Observe({static_cast<float>(-row.energy), 0.0f, 0.0f}, true, still, still);
    passivity.Observe(row.in_flight, true, {1.0f, 0.0f, 0.0f}, still);
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

// The count of completed holds can dip below 0 by what the arm did differently from the
// prediction (the wall's force speeds it up within a hold), until the damping pays it.
TEST(Passivity, KeepsASampledStiffWallPassiveThatWithoutControlGivesEnergyBack) {
  const Lowest off = LowestEnergy(false), on = LowestEnergy(true);
  EXPECT_LT(off.shown, -1e-4);
  EXPECT_LT(off.counted, -1e-4);
  EXPECT_GE(on.shown, 0.0);
  EXPECT_GT(on.counted, 0.05 * off.counted);
}
