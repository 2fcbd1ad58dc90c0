// End to end: the tavix tool against tavix-sim, the device simulator.

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CheckedSimulator.h"
#include "DeviceDirectory.h"
#include "Programs.h"
#include "Tavix/HardwareAPI/IO/SerialStream.h"
#include "Tavix/HardwareAPI/Version.h"
#include "ToolOutput.h"

using namespace Tavix::Testing;
using namespace std::chrono_literals;

namespace {

// A simulated arm linked as ttyACM0 and a simulated handle as ttyUSB0.
struct SimulatedDevices {
  DeviceDirectory dev;
  CheckedSimulator arm{{"arm", "--link", dev.Entry("ttyACM0")}};
  CheckedSimulator handle{{"handle", "--link", dev.Entry("ttyUSB0")}};
};

// Runs `tavix COMMAND PORT OPTIONS...` on the port of a simulated arm until its standard
// output holds `lines` lines, then sends it `signal` and returns how it ended; nothing if
// the lines did not come `within`.
std::optional<ProgramResult> ArmCommandSignalledAfter(const std::string& command, std::vector<std::string> options,
                                                      std::size_t lines, std::chrono::milliseconds within,
                                                      int signal) {
  CheckedSimulator arm({"arm"});
  options.insert(options.begin(), {command, arm.PortPath()});
  ChildProcess tool(ToolPath(), options);
  if (!tool.WaitForLines(lines, within)) return std::nullopt;
  tool.Signal(signal);
  return tool.Finish();
}

// The line of `text` that contains `part`; "" if none does.
std::string LineWith(const std::string& text, const std::string& part) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (Contains(line, part)) return line;
  }
  return "";
}

TEST(Help, TheToolAndEveryCommandHaveOne) {
  for (const char* flag : {"--help", "-h"}) {
    const ProgramResult tool = RunTavix({flag});
    EXPECT_EQ(tool.status, 0);
    EXPECT_EQ(tool.out.rfind("Usage: tavix COMMAND", 0), 0u) << tool.out;
    for (const std::string command :
         {"ports", "detect", "scan", "info", "monitor", "latency", "doctor", "udev-rules"}) {
      const ProgramResult result = RunTavix({command, flag});
      EXPECT_EQ(result.status, 0) << command;
      EXPECT_EQ(result.out.rfind("Usage: tavix " + command, 0), 0u) << result.out;
    }
  }
}

// The Python package's commands run as programs of their own, found on PATH here (the
// build directory has none beside tavix), with their arguments and exit status.
TEST(Help, NamesThePythonPackagesCommandsWhichRunAsProgramsOfTheirOwn) {
  const std::string help = RunTavix({"--help"}).out;
  for (const char* command : {"record", "replay", "replay-device", "plot"}) {
    EXPECT_TRUE(Contains(help, std::string("\n  ") + command + " ")) << command;
  }
  const DeviceDirectory bin;  // a directory of the test's own
  {
    std::ofstream script(bin.Entry("tavix-plot"));
    script << "#!/bin/sh\necho \"plotting $*\"\nexit 3\n";
  }
  std::filesystem::permissions(bin.Entry("tavix-plot"), std::filesystem::perms::owner_all);
  ChildProcess plot("/usr/bin/env", {"PATH=" + bin.Path(), ToolPath(), "plot", "run.mcap", "-o", "run.png"});
  const ProgramResult plotted = plot.Finish();
  EXPECT_EQ(plotted.status, 3);
  EXPECT_EQ(plotted.out, "plotting run.mcap -o run.png\n");

  ChildProcess record("/usr/bin/env", {"PATH=" + bin.Path(), ToolPath(), "record", "--help"});
  const ProgramResult missing = record.Finish();
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(Contains(missing.err, "cannot run tavix-record")) << missing.err;
  EXPECT_TRUE(Contains(missing.err, "pip install 'TavixHardwareAPI[record]'")) << missing.err;
}

TEST(Version, IsTheLibrarysAndNamedInTheHelp) {
  const ProgramResult result = RunTavix({"--version"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, std::string("tavix ") + Tavix::HardwareAPI::GetLibraryVersion() + "\n");
  EXPECT_TRUE(Contains(RunTavix({"--help"}).out, "\n  --version ")) << "the tool's help lists it";
}

TEST(Ports, ListsEachPortWithItsKind) {
  SimulatedDevices devices;
  const ProgramResult result = RunTavix({"ports", "--dev", devices.dev.Path()});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(Contains(LineWith(result.out, devices.arm.PortPath()), "acm     USB CDC-ACM: arms")) << result.out;
  EXPECT_TRUE(Contains(LineWith(result.out, devices.handle.PortPath()), "usb     USB serial adapter: wired handles"))
      << result.out;
}

TEST(Ports, SaysSoWhenThereAreNone) {
  DeviceDirectory dev;
  const ProgramResult result = RunTavix({"ports", "--dev", dev.Path()});
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(Contains(result.out, "no candidate ports in " + dev.Path())) << result.out;
}

TEST(Detect, ShowsEachProbeOnStderrAndOnlyTheDevicesOnStdout) {
  SimulatedDevices devices;
  const ProgramResult result = RunTavix({"detect", "--dev", devices.dev.Path()});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(Contains(result.err, "probing " + devices.dev.Entry("ttyACM0") + " for an arm...\n")) << result.err;
  EXPECT_TRUE(Contains(result.err, "probing " + devices.dev.Entry("ttyUSB0") + " for a handle...\n")) << result.err;
  const std::string arm_line = "arm " + devices.dev.Entry("ttyACM0") + "\n";
  const std::string handle_line = "handle " + devices.dev.Entry("ttyUSB0") + "\n";
  EXPECT_TRUE(result.out == arm_line + handle_line || result.out == handle_line + arm_line) << result.out;
}

TEST(Detect, LooksOnlyForWhatItIsAskedFor) {
  SimulatedDevices devices;
  const ProgramResult arms = RunTavix({"detect", "--arms", "--dev", devices.dev.Path()});
  EXPECT_EQ(arms.out, "arm " + devices.dev.Entry("ttyACM0") + "\n");

  const ProgramResult wireless = RunTavix({"detect", "--wireless", "--dev", devices.dev.Path()});
  EXPECT_EQ(wireless.status, 0);
  EXPECT_EQ(wireless.out, "");
  EXPECT_EQ(wireless.err, "no device found: probed 0 of the 2 candidate ports in " + devices.dev.Path() + "\n");
}

TEST(Detect, NamesAPortHeldByAnotherProgramAsBusy) {
  SimulatedDevices devices;
  Tavix::HardwareAPI::IO::SerialStream holder(devices.arm.PortPath().c_str());
  ASSERT_TRUE(holder.IsOpen());
  const ProgramResult result = RunTavix({"detect", "--arms", "--dev", devices.dev.Path()});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(Contains(result.err, "busy: another program holds " + devices.dev.Entry("ttyACM0") + ";"))
      << result.err;
}

TEST(Detect, NamesAPortAsTheScanDoesNotByTheDeviceItLeadsTo) {
  SimulatedDevices devices;
  const ProgramResult detect = RunTavix({"detect", "--arms", "--dev", devices.dev.Path()});
  const ProgramResult scan = RunTavix({"scan", "--timeout", "0.3", "--dev", devices.dev.Path()});
  ASSERT_EQ(detect.out.rfind("arm ", 0), 0u) << detect.out;
  const std::string port = detect.out.substr(4, detect.out.find('\n') - 4);
  EXPECT_NE(port, devices.arm.PortPath()) << "the link, not the pseudo-terminal it leads to";
  EXPECT_EQ(LineWith(scan.out, "  arm  ").rfind(port + "  ", 0), 0u) << scan.out;
}

TEST(Info, ShowsTheIdentityAndStatusOfAnArm) {
  CheckedSimulator arm({"arm", "--id", "4660", "--uuid", "00112233-4455-6677-8899-aabbccddeeff"});
  const ProgramResult result = RunTavix({"info", arm.PortPath()});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(Field(result.out, "device number"), "4660");
  EXPECT_EQ(Field(result.out, "model"), "4 (Morvek3)");
  EXPECT_EQ(Field(result.out, "uuid"), "00112233-4455-6677-8899-aabbccddeeff");
  EXPECT_EQ(Field(result.out, "identifier") + Field(result.out, "device identifier"), "") << "shown once, as uuid";
  EXPECT_TRUE(Contains(Field(result.out, "firmware identifier"), "(\"tavix-sim")) << result.out;
  EXPECT_EQ(Field(result.out, "power"), "on");
  for (const char* field : {"motor currents", "base orientation", "temperature"}) {
    EXPECT_NE(Field(result.out, field), "") << field;
  }
}

TEST(Info, ShowsTheInfoAndAStatusMessageOfAHandle) {
  CheckedSimulator handle({"handle", "--id", "515"});
  const ProgramResult result = RunTavix({"info", handle.PortPath(), "--handle"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(Field(result.out, "device number"), "515");
  EXPECT_TRUE(Contains(result.out, "\nstatus message\n")) << result.out;
  EXPECT_EQ(Field(result.out, "error flag"), "0");
  EXPECT_EQ(Field(result.out, "user data"), "none");
}

// The round trips a latency report counts: its histogram lines end in their counts, which
// add up to them. Expects the report's table of percentiles too.
unsigned long ReportedRoundTrips(const std::string& text) {
  EXPECT_TRUE(Contains(text, "min        p50        p90        p99      p99.9        max")) << text;
  std::istringstream lines(text);
  unsigned long total = 0;
  for (std::string line; std::getline(lines, line);) {
    if (Contains(line, " us  ")) total += std::strtoul(line.substr(line.rfind(' ')).c_str(), nullptr, 10);
  }
  return total;
}

TEST(Latency, SummarisesTheRoundTrips) {
  CheckedSimulator arm({"arm"});
  const ProgramResult result = RunTavix({"latency", arm.PortPath(), "-n", "200"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(Contains(result.out, "\n200 round trips to the arm on " + arm.PortPath())) << result.out;
  EXPECT_TRUE(Contains(result.out, "exchanges a second")) << result.out;
  EXPECT_EQ(ReportedRoundTrips(result.out), 200u) << result.out;
}

TEST(Latency, InterruptedSummarisesTheRoundTripsMadeSoFar) {
  const auto run = ArmCommandSignalledAfter("latency", {"-n", "1000000"}, 1, 5s, SIGINT);
  ASSERT_TRUE(run) << "the line that opens the timing";
  EXPECT_EQ(run->status, 0) << run->err;
  EXPECT_TRUE(Contains(run->out, "\nstopped early: ")) << run->out;
  EXPECT_GT(ReportedRoundTrips(run->out), 0u) << run->out;
}

TEST(Monitor, ShowsSamplesUntilInterrupted) {
  const auto run = ArmCommandSignalledAfter("monitor", {"--rate", "50"}, 5, 3s, SIGINT);
  ASSERT_TRUE(run) << "two header lines and three samples";
  EXPECT_EQ(run->status, 0) << run->err;
  EXPECT_TRUE(Contains(run->out, "x/m")) << run->out;
  EXPECT_EQ(run->err, "");
}

TEST(Monitor, AnyOtherTerminatingSignalEndsItAsCleanlyWithStatus1) {
  const auto run = ArmCommandSignalledAfter("monitor", {"--rate", "50"}, 3, 3s, SIGUSR1);
  ASSERT_TRUE(run);
  EXPECT_EQ(run->status, 1) << run->err;
  EXPECT_EQ(run->err, "tavix: stopped by SIGUSR1\n");
  EXPECT_TRUE(Contains(run->out, "x/m")) << run->out;
}

TEST(Monitor, ShowsJointAnglesWithJoint) {
  const auto run = ArmCommandSignalledAfter("monitor", {"--joint"}, 3, 3s, SIGTERM);
  ASSERT_TRUE(run);
  EXPECT_EQ(run->status, 0) << run->err;
  EXPECT_TRUE(Contains(run->out, "q0/deg")) << run->out;
}

}  // namespace
