#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Options.h"
#include "ReplayFiles.h"

using Tavix::Simulator::Options;
using Tavix::Simulator::ParseOptions;
using Tavix::Simulator::Testing::LittleEndianDoubles;
using Tavix::Simulator::Testing::ReplayFile;

namespace {

Options Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "tavix-sim");
  return ParseOptions(static_cast<int>(args.size()), args.data());
}

std::string Rejection(const std::vector<const char*>& args) {
  try {
    Parse(args);
  } catch (const std::invalid_argument& error) {
    return error.what();
  }
  return "accepted";
}

TEST(SimulatorOptions, WithoutMechanicsOptionsTheArmKeepsItsJointModel) {
  const Options options = Parse({"arm"});
  EXPECT_FALSE(options.arm.point_mass.has_value());
  EXPECT_EQ(options.arm.resolution, 0.0);
  EXPECT_EQ(options.arm.delay, 0u);
}

TEST(SimulatorOptions, AnyPointMassOptionMakesThePointMassWithDefaultsForTheOthers) {
  struct Case {
    std::vector<const char*> args;
    double mass, damping, friction;
  };
  for (const Case& c : {Case{{"arm", "--mass", "0.25"}, 0.25, 2.0, 0.0}, Case{{"arm", "--damping", "0"}, 0.1, 0.0, 0.0},
                        Case{{"arm", "--friction", "0.3", "--mass", "1"}, 1.0, 2.0, 0.3}}) {
    const Options options = Parse(c.args);
    ASSERT_TRUE(options.arm.point_mass.has_value()) << c.args[1];
    EXPECT_EQ(options.arm.point_mass->mass, c.mass) << c.args[1];
    EXPECT_EQ(options.arm.point_mass->damping, c.damping) << c.args[1];
    EXPECT_EQ(options.arm.point_mass->friction, c.friction) << c.args[1];
  }
  const Options options = Parse({"arm", "--resolution", "1e-5", "--delay", "3"});
  EXPECT_EQ(options.arm.resolution, 1e-5);
  EXPECT_EQ(options.arm.delay, 3u);
  EXPECT_FALSE(options.arm.point_mass.has_value());
}

TEST(SimulatorOptions, MechanicsOptionsOutOfRangeAreRejectedWithTheirRange) {
  struct Case {
    std::vector<const char*> args;
    const char* message;
  };
  for (const Case& c : {Case{{"arm", "--mass", "0"}, "--mass needs a number from 0.001 to 100, not '0'"},
                        Case{{"arm", "--damping", "-1"}, "--damping needs a number from 0 to 1000, not '-1'"},
                        Case{{"arm", "--friction", "nan"}, "--friction needs a number from 0 to 100, not 'nan'"},
                        Case{{"arm", "--resolution", "0.1"}, "--resolution needs a number from 0 to 0.01, not '0.1'"},
                        Case{{"arm", "--delay", "1.5"}, "--delay needs a whole number from 0 to 1000, not '1.5'"},
                        Case{{"handle", "--mass", "1"}, "--mass is for the arm, not the handle"}}) {
    EXPECT_EQ(Rejection(c.args), c.message);
  }
}

TEST(SimulatorOptions, ReplayTakesAFileOfWholeStatesAndNoMechanicsOptions) {
  const ReplayFile empty(""), cut(LittleEndianDoubles({0, 0, 0, 0, 0})), state(LittleEndianDoubles({0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Parse({"arm", "--replay", state.Path().c_str()}).arm.replay.size(), 1u);
  EXPECT_EQ(Rejection({"arm", "--replay", empty.Path().c_str()}), "--replay: '" + empty.Path() + "' holds no states");
  EXPECT_EQ(Rejection({"arm", "--replay", cut.Path().c_str()}),
            "--replay: '" + cut.Path() +
                "' is 40 bytes long, not a whole number of 48-byte states (six little-endian doubles each)");
  EXPECT_EQ(Rejection({"arm", "--replay", "/nonexistent/states"}), "--replay cannot open '/nonexistent/states'");
  EXPECT_EQ(Rejection({"arm", "--replay", state.Path().c_str(), "--mass", "1"}),
            "--replay plays recorded states: it takes none of --mass, --damping, --friction, --resolution, --delay");
  EXPECT_EQ(Rejection({"handle", "--replay", state.Path().c_str()}), "--replay is for the arm, not the handle");
}

}  // namespace
