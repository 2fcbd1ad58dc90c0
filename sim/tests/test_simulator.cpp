// The tavix-sim program as a user runs it: its command line and its stop signals.

#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "CheckedSimulator.h"
#include "Programs.h"
#include "ReplayFiles.h"
#include "SimulatorProcess.h"
#include "Tavix/HardwareAPI/ArmGeometry.h"
#include "Tavix/HardwareAPI/Devices/Morvek3.h"
#include "Tavix/HardwareAPI/Version.h"

using Tavix::HardwareAPI::ArmGeometry;
using Tavix::HardwareAPI::Vector3;
using Tavix::HardwareAPI::Devices::ArmState;
using Tavix::HardwareAPI::Devices::Morvek3;
using Tavix::HardwareAPI::IO::SerialStream;
using Tavix::Simulator::Testing::LittleEndianDoubles;
using Tavix::Simulator::Testing::ReplayFile;
using Tavix::Testing::CheckedSimulator;
using Tavix::Testing::ProgramResult;
using Tavix::Testing::RunSimulator;
using Tavix::Testing::SimulatorProcess;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

TEST(SimulatorCommandLine, VersionIsTheLibrarys) {
  const ProgramResult result = RunSimulator({"--version"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, std::string("tavix-sim ") + Tavix::HardwareAPI::GetLibraryVersion() + "\n");
  EXPECT_NE(RunSimulator({"--help"}).out.find("\n  --version "), std::string::npos) << "the help lists it";
}

TEST(SimulatorSignals, HangUpEndsItAndRemovesTheLink) {
  const std::string link = testing::TempDir() + "tavix-sim-link-" + std::to_string(getpid());
  SimulatorProcess simulator({"arm", "--link", link});
  ASSERT_TRUE(fs::is_symlink(link));
  kill(simulator.Pid(), SIGHUP);
  EXPECT_EQ(simulator.ExitStatusWithin(10s), std::optional<int>(0));
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

TEST(SimulatorSignals, AnyOtherTerminatingSignalEndsItAsCleanlyWithStatus1) {
  for (const int signal : {SIGQUIT, SIGUSR1}) {
    const std::string link = testing::TempDir() + "tavix-sim-link-" + std::to_string(getpid());
    SimulatorProcess simulator({"arm", "--link", link});
    kill(simulator.Pid(), signal);
    EXPECT_EQ(simulator.ExitStatusWithin(10s), std::optional<int>(1)) << signal;
    EXPECT_FALSE(fs::exists(fs::symlink_status(link))) << signal;
  }
}

// Through the port, with the library's arm: the replies carry the recorded states as the
// wire's binary32, in order, then the last position at rest; the joint reply shows that pose.
TEST(SimulatorReplay, AnswersEachEndEffectorCommandWithTheNextRecordedState) {
  const ArmGeometry geometry;
  const Vector3 start = geometry.ForwardKinematics({0.0f, -60.0f, -120.0f});
  const std::vector<double> first{start[0] + 0.001, start[1], start[2] - 0.002, 0.01, 0.0, -0.02};
  const std::vector<double> second{start[0] + 0.002, start[1] + 0.001, start[2] - 0.003, 0.03, 0.01, -0.01};
  std::vector<double> both = first;
  both.insert(both.end(), second.begin(), second.end());
  const ReplayFile file(LittleEndianDoubles(both));
  CheckedSimulator simulator({"arm", "--replay", file.Path()});
  SerialStream stream(simulator.PortPath().c_str());
  Morvek3 arm(&stream);
  arm.timeout = 0.5f;

  const auto as_sent = [](const std::vector<double>& state, std::size_t from) {
    return Vector3{static_cast<float>(state[from]), static_cast<float>(state[from + 1]),
                   static_cast<float>(state[from + 2])};
  };
  const ArmState one = arm.EndEffectorForce({1.0f, 0.0f, 0.0f});
  EXPECT_EQ(one.position, as_sent(first, 0));
  EXPECT_EQ(one.velocity, as_sent(first, 3));
  const ArmState two = arm.EndEffectorPosition(start);
  EXPECT_EQ(two.position, as_sent(second, 0));
  EXPECT_EQ(two.velocity, as_sent(second, 3));
  const ArmState after = arm.EndEffectorForce({0.0f, 0.0f, 0.0f});
  EXPECT_EQ(after.position, as_sent(second, 0));
  EXPECT_EQ(after.velocity, Vector3{});

  const Vector3 pose = geometry.ForwardKinematics(arm.JointAngles({0.0f, 0.0f, 0.0f}).position);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(pose[i], second[i], 1e-5) << i;
}

}  // namespace
