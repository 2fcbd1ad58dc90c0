// The C++ library's exchanges against tavix-sim, side by side with the raw baseline:
// latency, rate, CPU and heap allocations per exchange; then the CPU a thread uses
// while it waits for a device that answers after 1 ms, and for one that never answers;
// and how soon a wait notices the rest of a reply that arrives in two parts.
// Run once with each wait: `poll` is the library's own SerialStream, `spinning` the
// busy-polling SpinningStream. Case names start with the wait's name.
//
//   bench_library <results-directory> poll|spinning

#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "AllocationCounter.h"
#include "ArmMessages.h"
#include "Measurement.h"
#include "PtyResponder.h"
#include "RawPort.h"
#include "ResultWriter.h"
#include "SimulatorProcess.h"
#include "SpinningStream.h"
#include "Tavix/HardwareAPI/Devices/Morvek3.h"
#include "Tavix/HardwareAPI/IO/SerialStream.h"

namespace {

using namespace Tavix::Bench;
using Tavix::HardwareAPI::Devices::Morvek3;
using Tavix::HardwareAPI::IO::SerialStream;
using Tavix::Testing::PtyResponder;
using Tavix::Testing::SimulatorProcess;

const Tavix::HardwareAPI::Vector3 kZero{0.0f, 0.0f, 0.0f};

// A device answering after 1 ms, as a USB device would: long enough to show what
// waiting costs, short enough for this many exchanges in about a second.
const char* const kUsbReplyDelayUs = "1000";
constexpr int kDelayedExchanges = 1000;

// A reply in two parts a USB frame apart: the header and half the payload, then the
// rest, as a device that writes its reply in two pieces may deliver it.
constexpr std::size_t kFirstPartLength = 13;
constexpr std::chrono::microseconds kUsbFrame{1000};
constexpr int kSplitExchanges = 1000;

// The wait measured, named on the command line.
struct Wait {
  std::string prefix;  ///< of every case name
  bool spinning;
};

// An arm on a port, through a stream with the wait measured, and a raw client on the
// same port: the two take turns on it, so both meet the same device, scheduled the
// same way.
struct ArmAndRawClient {
  ArmAndRawClient(const Wait& wait, const std::string& path)
      : stream(wait.spinning ? std::make_unique<SpinningStream>(path.c_str())
                             : std::make_unique<SerialStream>(path.c_str())),
        arm(stream.get()),
        raw(*stream) {}

  std::unique_ptr<SerialStream> stream;
  Morvek3 arm;
  RawPort raw;
};

void MeasureExchanges(const Wait& wait, const ResultWriter& results) {
  const SimulatorProcess simulator({"arm"});
  ArmAndRawClient port(wait, simulator.PortPath());
  const std::vector<Case> cases{
      {wait.prefix + "raw", [&] { ExchangeZeroForce(port.raw); }},
      {wait.prefix + "end_effector_force", [&] { port.arm.EndEffectorForce(kZero); }},
      {wait.prefix + "joint_torques", [&] { port.arm.JointTorques(kZero); }},
      {wait.prefix + "get_temperature", [&] { port.arm.GetTemperature(); }},
  };
  results.RecordRuns(cases, MeasureSideBySide(cases, kWarmUpExchanges, kCppExchanges, kExchangesPerTurn,
                                              AllocationsSoFar));
}

void MeasureDelayedReplies(const Wait& wait, const ResultWriter& results) {
  const SimulatorProcess simulator({"arm", "--reply-delay-us", kUsbReplyDelayUs});
  ArmAndRawClient port(wait, simulator.PortPath());
  const auto exchange = [&] { port.arm.EndEffectorForce(kZero); };
  Repeat(kDelayedExchanges / 10, exchange);
  results.RecordRun(wait.prefix + "delayed_reply", Repeat(kDelayedExchanges, exchange, AllocationsSoFar));
}

void MeasureSplitReplies(const Wait& wait, const ResultWriter& results) {
  const PtyResponder responder(kForceRequestLength, {ZeroStateReply(), kFirstPartLength, kUsbFrame});
  ArmAndRawClient port(wait, responder.PortPath());
  const std::vector<Case> cases{
      {wait.prefix + "split_raw", [&] { ExchangeZeroForce(port.raw); }},
      {wait.prefix + "split_reply", [&] { port.arm.EndEffectorForce(kZero); }},
  };
  results.RecordRuns(cases, MeasureSideBySide(cases, kSplitExchanges / 10, kSplitExchanges, kExchangesPerTurn,
                                              AllocationsSoFar));
}

// One header wait with the default time-out on a device that never answers; the
// library logs the time-out on stderr.
void MeasureSilentWait(const Wait& wait, const ResultWriter& results) {
  const SimulatorProcess simulator({"arm", "--silent"});
  ArmAndRawClient port(wait, simulator.PortPath());
  results.RecordRun(wait.prefix + "silent_wait", Repeat(1, [&] { port.arm.ReadHeaderCode(); }, AllocationsSoFar));
}

}  // namespace

int main(int argc, char** argv) {
  const bool known_wait = argc == 3 && (std::strcmp(argv[2], "poll") == 0 || std::strcmp(argv[2], "spinning") == 0);
  if (!known_wait) {
    std::fprintf(stderr, "usage: %s <results-directory> poll|spinning\n", argv[0]);
    return 2;
  }
  try {
    const Wait wait{std::string(argv[2]) + ".", std::strcmp(argv[2], "spinning") == 0};
    const ResultWriter results(argv[1]);
    MeasureExchanges(wait, results);
    MeasureDelayedReplies(wait, results);
    MeasureSplitReplies(wait, results);
    MeasureSilentWait(wait, results);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_library: %s\n", error.what());
    return 1;
  }
  return 0;
}
