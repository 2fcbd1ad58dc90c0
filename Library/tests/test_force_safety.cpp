#include <limits>

#include <gtest/gtest.h>

#include "Servo/ForceSafety.h"

using namespace Tavix::HardwareAPI;
using namespace Tavix::HardwareAPI::Servo;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInfinity = std::numeric_limits<float>::infinity();

struct Row {
  const char* what;
  Vector3 wanted;
  float max_force;
  double ramp_seconds;
  double seconds;  // since the start
  Vector3 sent;
  bool non_finite;
  bool clamped;
};

// Factors chosen to be exact in binary, so that the forces compare equal.
const Row kRows[] = {
    {"within the limit, no ramp", {1.0f, 2.0f, -2.0f}, 5.0f, 0.0, 0.0, {1.0f, 2.0f, -2.0f}, false, false},
    {"at the limit exactly", {3.0f, 0.0f, 4.0f}, 5.0f, 0.0, 0.0, {3.0f, 0.0f, 4.0f}, false, false},
    {"over the limit keeps its direction", {6.0f, -8.0f, 0.0f}, 5.0f, 0.0, 0.0, {3.0f, -4.0f, 0.0f}, false, true},
    {"a NaN component zeroes the force", {kNaN, 1.0f, 1.0f}, 5.0f, 0.0, 0.0, {0.0f, 0.0f, 0.0f}, true, false},
    {"an infinite one too, unclamped", {0.0f, -kInfinity, 0.0f}, 5.0f, 0.0, 0.0, {0.0f, 0.0f, 0.0f}, true, false},
    {"nothing at the start of the ramp", {3.0f, 0.0f, 0.0f}, 5.0f, 0.1, 0.0, {0.0f, 0.0f, 0.0f}, false, false},
    {"a quarter of the way in", {2.0f, -4.0f, 0.0f}, 5.0f, 1.0, 0.25, {0.5f, -1.0f, 0.0f}, false, false},
    {"clamped, then ramped", {0.0f, 0.0f, -20.0f}, 5.0f, 1.0, 0.5, {0.0f, 0.0f, -2.5f}, false, true},
    {"whole once the ramp is over", {2.0f, -4.0f, 0.0f}, 5.0f, 0.1, 0.1, {2.0f, -4.0f, 0.0f}, false, false},
};

}  // namespace

TEST(ForceSafety, ZeroesNonFiniteClampsToMaxForceThenRamps) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.what);
    const SafeForce safe = MakeSafe(row.wanted, row.max_force, row.ramp_seconds, row.seconds);
    EXPECT_EQ(safe.force, row.sent);
    EXPECT_EQ(safe.non_finite, row.non_finite);
    EXPECT_EQ(safe.clamped, row.clamped);
  }
}
