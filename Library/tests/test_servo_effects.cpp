#include <cmath>
#include <limits>
#include <stdexcept>

#include <gtest/gtest.h>

#include "Tavix/HardwareAPI/Servo/ConstantForce.h"
#include "Tavix/HardwareAPI/Servo/Damper.h"
#include "Tavix/HardwareAPI/Servo/ParameterBlock.h"
#include "Tavix/HardwareAPI/Servo/Spring.h"
#include "Tavix/HardwareAPI/Servo/Wall.h"

using namespace Tavix::HardwareAPI;
using namespace Tavix::HardwareAPI::Servo;

namespace {

const Vector3 kStill{0.0f, 0.0f, 0.0f};
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

}  // namespace

TEST(ServoEffects, SpringPullsTowardsItsCenterAndDamps) {
  Spring spring({0.1f, 0.0f, 0.0f}, 200.0f);
  EXPECT_EQ(spring.Force({0.0f, 0.0f, 0.0f}, kStill), (Vector3{20.0f, 0.0f, 0.0f}));
  spring.SetDamping(10.0f);
  EXPECT_EQ(spring.Force({0.1f, 0.0f, 0.0f}, {0.0f, 0.5f, 0.0f}), (Vector3{0.0f, -5.0f, 0.0f}));
  spring.SetCenter({0.0f, 0.0f, 0.2f});
  const Spring::Parameters parameters = spring.Get();
  EXPECT_EQ(parameters.center, (Vector3{0.0f, 0.0f, 0.2f}));
  EXPECT_EQ(parameters.stiffness, 200.0f);
  EXPECT_EQ(parameters.damping, 10.0f);
}

TEST(ServoEffects, DamperOpposesTheVelocity) {
  Damper damper(4.0f);
  EXPECT_EQ(damper.Force({1.0f, 2.0f, 3.0f}, {0.5f, -0.25f, 0.0f}), (Vector3{-2.0f, 1.0f, -0.0f}));
  damper.SetDamping(0.0f);
  EXPECT_EQ(damper.Damping(), 0.0f);
}

TEST(ServoEffects, WallPushesBackOnlyOnTheFarSideAndNeverPulls) {
  // The plane x = 0.05; free space towards -x.
  Wall wall({0.05f, 0.0f, 0.0f}, {-2.0f, 0.0f, 0.0f}, 1000.0f, 10.0f);
  EXPECT_EQ(wall.Get().normal, (Vector3{-1.0f, 0.0f, 0.0f}));
  EXPECT_EQ(wall.Force({0.0f, 0.3f, 0.0f}, {1.0f, 0.0f, 0.0f}), kStill);   // free side
  EXPECT_EQ(wall.Force({0.05f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}), kStill);  // on the plane
  const Vector3 pressing = wall.Force({0.052f, 0.0f, 0.0f}, {0.1f, 0.0f, 0.0f});  // 2 mm in, moving in
  EXPECT_NEAR(pressing[0], -3.0f, 1e-4);  // -(1000 x 0.002 + 10 x 0.1)
  EXPECT_EQ(pressing[1], 0.0f);
  // Leaving fast: the damping cancels the push but does not pull.
  EXPECT_EQ(wall.Force({0.052f, 0.0f, 0.0f}, {-1.0f, 0.0f, 0.0f}), kStill);
  wall.SetNormal({0.0f, 0.0f, 3.0f});
  EXPECT_EQ(wall.Get().normal, (Vector3{0.0f, 0.0f, 1.0f}));
}

TEST(ServoEffects, ConstantForceIsTheSameEverywhere) {
  ConstantForce weight({0.0f, 0.0f, -1.5f});
  EXPECT_EQ(weight.Force({1.0f, 2.0f, 3.0f}, {4.0f, 5.0f, 6.0f}), (Vector3{0.0f, 0.0f, -1.5f}));
  weight.SetForce({1.0f, 0.0f, 0.0f});
  EXPECT_EQ(weight.Get(), (Vector3{1.0f, 0.0f, 0.0f}));
}

TEST(ServoEffects, RefuseValuesThatAreNotFiniteOrNegativeAndKeepTheirParameters) {
  EXPECT_THROW(Spring({kNaN, 0.0f, 0.0f}, 1.0f), std::invalid_argument);
  EXPECT_THROW(Spring(kStill, -1.0f), std::invalid_argument);
  EXPECT_THROW(Damper(std::numeric_limits<float>::infinity()), std::invalid_argument);
  EXPECT_THROW(Wall(kStill, kStill, 1.0f), std::invalid_argument);  // no normal
  EXPECT_THROW(ConstantForce({0.0f, kNaN, 0.0f}), std::invalid_argument);

  Spring spring(kStill, 100.0f);
  EXPECT_THROW(spring.SetStiffness(-5.0f), std::invalid_argument);
  EXPECT_THROW(spring.Set({{0.0f, 0.0f, 0.0f}, 1.0f, kNaN}), std::invalid_argument);
  EXPECT_EQ(spring.Get().stiffness, 100.0f);
  EXPECT_EQ(spring.Get().damping, 0.0f);
}

TEST(ServoEffects, ParameterBlockUpdatesChangeOnlyTheirPart) {
  struct Pair {
    float a;
    float b;
  };
  ParameterBlock<Pair> block({1.0f, 2.0f});
  block.Update([](Pair& pair) { pair.b = 5.0f; });
  EXPECT_EQ(block.Load().a, 1.0f);
  EXPECT_EQ(block.Load().b, 5.0f);
  block.Store({3.0f, 4.0f});
  EXPECT_EQ(block.Load().a, 3.0f);
}
