// The tavix-sim program as a user runs it: its command line and its stop signals.

#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Programs.h"
#include "SimulatorProcess.h"
#include "Tavix/HardwareAPI/Version.h"

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

}  // namespace
