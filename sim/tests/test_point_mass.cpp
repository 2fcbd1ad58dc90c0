#include <cmath>

#include <gtest/gtest.h>

#include "PointMass.h"

using Tavix::Simulator::Cartesian;
using Tavix::Simulator::PointMass;

namespace {

const Cartesian kOrigin{0.1, -0.2, 0.3};

TEST(PointMass, ConstantForceAcceleratesItAtForceOverMass) {
  struct Case {
    double mass;
    Cartesian force;
    double seconds;
  };
  for (const Case& c : {Case{0.1, {1, 0, 0}, 0.05}, Case{2.0, {0, -3, 4}, 0.3}, Case{0.01, {0.5, 0.5, 0}, 0.0123}}) {
    PointMass mass({c.mass, 0.0, 0.0}, kOrigin);
    mass.Advance(c.seconds, c.force);
    for (std::size_t i = 0; i < 3; ++i) {
      const double acceleration = c.force[i] / c.mass;
      EXPECT_NEAR(mass.Velocity()[i], acceleration * c.seconds, 1e-12) << c.mass << " kg, axis " << i;
      EXPECT_NEAR(mass.Position()[i], kOrigin[i] + acceleration * c.seconds * c.seconds / 2, 1e-12)
          << c.mass << " kg, axis " << i;
    }
  }
}

TEST(PointMass, DampingDecaysItsVelocityAtDampingOverMass) {
  struct Case {
    double mass, damping, seconds;
  };
  for (const Case& c : {Case{0.1, 2.0, 0.1}, Case{1.0, 0.5, 1.0}, Case{0.001, 1000.0, 1e-5}, Case{0.5, 1e-9, 1.0}}) {
    PointMass mass({c.mass, c.damping, 0.0}, kOrigin);
    const Cartesian start{0.2, 0.0, -0.1};
    mass.Place(kOrigin, start);
    mass.Advance(c.seconds, {});
    const double rate = c.damping / c.mass, left = std::exp(-rate * c.seconds);
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_NEAR(mass.Velocity()[i], start[i] * left, 1e-12) << c.damping << " N s/m, axis " << i;
      EXPECT_NEAR(mass.Position()[i], kOrigin[i] + start[i] * c.seconds * -std::expm1(-rate * c.seconds) /
                                                       (rate * c.seconds),
                  1e-12)
          << c.damping << " N s/m, axis " << i;
    }
  }
}

TEST(PointMass, FrictionHoldsItAgainstForcesUpToItsLevel) {
  struct Case {
    double push, friction;
  };
  for (const Case& c : {Case{0.5, 1.0}, Case{1.0, 1.0}, Case{1.5, 1.0}, Case{3.0, 0.0}}) {
    PointMass mass({0.2, 0.0, c.friction}, kOrigin);
    mass.Advance(0.1, {0, c.push, 0});
    const double acceleration = std::max(0.0, c.push - c.friction) / 0.2;
    EXPECT_NEAR(mass.Velocity()[1], acceleration * 0.1, 1e-12) << c.push << " N against " << c.friction << " N";
    EXPECT_EQ(mass.Position()[0], kOrigin[0]);
  }
}

TEST(PointMass, FrictionStopsItWithoutTurningItBack) {
  PointMass mass({0.2, 0.0, 1.0}, kOrigin);
  mass.Place(kOrigin, {0.1, 0, 0});
  mass.Advance(0.1, {});  // friction alone stops it after 0.02 s, 1 mm on
  EXPECT_EQ(mass.Velocity(), (Cartesian{}));
  EXPECT_NEAR(mass.Position()[0], kOrigin[0] + 0.001, 1e-6);
}

}  // namespace
