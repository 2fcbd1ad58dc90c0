// The tool's answers to bad arguments, unusable ports and devices that do not answer.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CheckedSimulator.h"
#include "Programs.h"
#include "Tavix/HardwareAPI/IO/SerialStream.h"
#include "Timing.h"
#include "ToolOutput.h"

using namespace Tavix::Testing;

namespace {

TEST(BadArguments, ExitWithStatus2AndTheUsage) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"info"},
      {"info", "/dev/ttyACM0", "/dev/ttyACM1"},
      {"ports", "extra"},
      {"info", "/dev/ttyACM0", "--rate", "5"},
      {"latency", "/dev/ttyACM0", "-n", "0"},
      {"latency", "/dev/ttyACM0", "-n"},
      {"monitor", "/dev/ttyACM0", "--rate", "fast"},
      {"detect", "--arms=yes"},
  };
  for (const std::vector<std::string>& arguments : cases) {
    const ProgramResult result = RunTavix(arguments);
    const std::string shown = arguments.empty() ? "(none)" : arguments[0];
    EXPECT_EQ(result.status, 2) << shown;
    EXPECT_TRUE(Contains(result.err, "\nUsage: tavix ")) << result.err;
    EXPECT_EQ(result.out, "") << shown;
  }
  EXPECT_TRUE(Contains(RunTavix({"latency", "x", "-n", "0"}).err, "Usage: tavix latency PORT [-n N]"));
}

TEST(PortFailures, MissingPortIsNamed) {
  const ProgramResult result = RunTavix({"info", "/nonexistent/ttyACM9"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "tavix: cannot open /nonexistent/ttyACM9: no such port\n");
}

TEST(PortFailures, PlainFileIsNeitherOpenedNorWritten) {
  const std::string path = testing::TempDir() + "tavix-cli-plain-file";
  std::ofstream(path) << "untouched";
  const ProgramResult result = RunTavix({"latency", path});
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(Contains(result.err, "not a serial port")) << result.err;
  std::ifstream file(path);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "untouched");
  std::filesystem::remove(path);
}

TEST(PortFailures, PortHeldByAnotherProgramIsBusy) {
  CheckedSimulator arm({"arm"});
  Tavix::HardwareAPI::IO::SerialStream holder(arm.PortPath().c_str());
  ASSERT_TRUE(holder.IsOpen());
  const ProgramResult result = RunTavix({"info", arm.PortPath()});
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(Contains(result.err, "busy: another program holds it")) << result.err;
}

TEST(DeviceDirectoryFailures, MissingDirectoryIsNamed) {
  const ProgramResult result = RunTavix({"detect", "--dev", "/nonexistent/dev"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "tavix: cannot read the device directory /nonexistent/dev: no such directory\n");
}

TEST(SilentDevice, ArmFailsSoonWithAHintAtTheHandle) {
  CheckedSimulator arm({"arm", "--silent"});
  Stopwatch watch;
  const ProgramResult result = RunTavix({"info", arm.PortPath()});
  EXPECT_LT(watch.WallSeconds(), 3.0);
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(Contains(result.err, "tavix: no reply from " + arm.PortPath() + "\n")) << result.err;
  EXPECT_TRUE(Contains(result.err, "--handle")) << result.err;
}

TEST(SilentDevice, HandleFailsSoonWithAHintAtTheArm) {
  CheckedSimulator handle({"handle", "--silent"});
  Stopwatch watch;
  const ProgramResult result = RunTavix({"info", handle.PortPath(), "--handle"});
  EXPECT_LT(watch.WallSeconds(), 2.0);
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(Contains(result.err, "tavix: no reply from " + handle.PortPath() + "\nAn arm?")) << result.err;
}

TEST(LostConnection, EndsTheMonitorWithStatus1) {
  CheckedSimulator arm({"arm", "--hangup-after", "5"});
  const ProgramResult result = RunTavix({"monitor", arm.PortPath(), "--rate", "100"});
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(Contains(result.err, "tavix: lost the connection to " + arm.PortPath())) << result.err;
}

}  // namespace
