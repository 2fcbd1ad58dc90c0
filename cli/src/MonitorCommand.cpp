// tavix monitor PORT: the live state of an arm, sampled with exchanges that leave it
// free (a zero force, or zero joint torques), until SIGINT, SIGTERM or another signal
// that ends a program (which ends it with status 1).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "ArmConnection.h"
#include "Commands.h"
#include "StatusLine.h"
#include "StopSignals.h"
#include "TextFormat.h"

namespace Tavix::Cli {
namespace {

using Clock = std::chrono::steady_clock;
using CommandLine::StopSignals;
using HardwareAPI::Vector3;
using HardwareAPI::Devices::ArmState;
using HardwareAPI::Devices::Morvek3;

constexpr int kColumnWidth = 9;
constexpr const char* kEndEffectorColumns[] = {"x/m", "y/m", "z/m", "vx/m/s", "vy/m/s", "vz/m/s"};
constexpr const char* kJointColumns[] = {"q0/deg", "q1/deg", "q2/deg", "w0/deg/s", "w1/deg/s", "w2/deg/s"};

void PrintHeader(const Options& options) {
  std::printf("monitoring the arm on %s at %g Hz; Ctrl-C ends\n", options.port.c_str(), options.rate_hz);
  std::printf("%8s", "time/s");
  for (const char* column : options.joint_space ? kJointColumns : kEndEffectorColumns) {
    std::printf(" %*s", kColumnWidth, column);
  }
  std::printf("\n");
  std::fflush(stdout);
}

ArmState Sample(Morvek3& arm, bool joint_space) {
  const Vector3 zero{};
  return joint_space ? arm.JointTorques(zero) : arm.EndEffectorForce(zero);
}

std::string SampleText(Clock::duration since_start, const ArmState& state, bool joint_space) {
  const int decimals = joint_space ? 2 : 4;
  char time[32];
  std::snprintf(time, sizeof time, "%8.2f ", std::chrono::duration<double>(since_start).count());
  return time + NumbersText(state.position.data(), 3, kColumnWidth, decimals) + " " +
         NumbersText(state.velocity.data(), 3, kColumnWidth, decimals);
}

}  // namespace

int RunMonitor(const Options& options) {
  // First, so that a Ctrl-C while connecting also ends the run cleanly.
  const StopSignals stop({SIGINT, SIGTERM}, StopSignals::Delivery::Collected);  // and every other terminating signal
  ArmConnection connection(options.port);
  PrintHeader(options);
  StatusLine line(stdout);
  const auto period =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / options.rate_hz));
  const Clock::time_point start = Clock::now();
  Clock::time_point next = start;
  do {
    const ArmState state = Sample(connection.Arm(), options.joint_space);
    connection.ThrowIfLost();
    line.Show(SampleText(Clock::now() - start, state, options.joint_space));
    next = std::max(next + period, Clock::now());  // a late sample is not followed by a burst
  } while (!stop.WaitFor(next - Clock::now()));
  line.Keep();
  stop.ThrowUnlessNormal();
  return 0;
}

}  // namespace Tavix::Cli
