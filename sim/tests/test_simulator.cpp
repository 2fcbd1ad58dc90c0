// The tavix-sim program as a user runs it: its command line and its stop signals.

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Tavix/HardwareAPI/Version.h"
#include "launcher/SimulatorProcess.h"

using Tavix::Simulator::SimulatorProcess;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

struct CommandResult {
  int status = -1;
  std::string out;
};

// Runs `arguments` through the shell and collects its standard output.
CommandResult RunSimulator(const std::string& arguments) {
  CommandResult result;
  FILE* pipe = popen((std::string(TAVIX_SIM_PATH) + " " + arguments).c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) result.out += buffer;
  const int wait_status = pclose(pipe);
  result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  return result;
}

TEST(SimulatorCommandLine, VersionIsTheLibrarys) {
  const CommandResult result = RunSimulator("--version");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, std::string("tavix-sim ") + Tavix::HardwareAPI::GetLibraryVersion() + "\n");
  EXPECT_NE(RunSimulator("--help").out.find("\n  --version "), std::string::npos) << "the help lists it";
}

TEST(SimulatorSignals, HangUpEndsItAndRemovesTheLink) {
  const std::string link = testing::TempDir() + "tavix-sim-link-" + std::to_string(getpid());
  SimulatorProcess simulator({"arm", "--link", link});
  ASSERT_TRUE(fs::is_symlink(link));
  kill(simulator.Pid(), SIGHUP);
  EXPECT_EQ(simulator.ExitStatusWithin(10s), std::optional<int>(0));
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

}  // namespace
