// The C++ library's exchanges against tavix-sim, side by side with the raw baseline:
// latency, rate, CPU and heap allocations per exchange; then the CPU a thread uses
// while it waits for a device that answers after 1 ms, and for one that never answers;
// and how soon a wait notices the rest of a reply that arrives in two parts.
// Built once with each wait: bench_library_poll has the library's own
// (Library/src/PortWait.cpp), bench_library_spinning the busy-polling one of
// bench/SpinningPortWait.cpp. Case names start with the wait's name.
//
//   bench_library_<wait> <results-directory>

#include <cstdio>
#include <exception>
#include <string>

#include "AllocationCounter.h"
#include "ArmMessages.h"
#include "Measurement.h"
#include "PtyResponder.h"
#include "RawPort.h"
#include "ResultWriter.h"
#include "launcher/SimulatorProcess.h"
#include "Tavix/HardwareAPI/Devices/Morvek3.h"
#include "Tavix/HardwareAPI/IO/SerialStream.h"

namespace {

using namespace Tavix::Bench;
using Tavix::Simulator::SimulatorProcess;
using Tavix::HardwareAPI::Devices::Morvek3;
using Tavix::HardwareAPI::IO::SerialStream;

const std::string kPrefix = std::string(TAVIX_BENCH_WAIT) + ".";
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

// The raw client and the library take turns on one port of one simulator, so both
// meet the same simulator process, scheduled the same way.
void MeasureExchanges(const ResultWriter& results) {
  const SimulatorProcess simulator({"arm"});
  SerialStream stream(simulator.PortPath().c_str());
  Morvek3 arm(&stream);
  RawPort raw(simulator.PortPath());
  const std::vector<Case> cases{
      {kPrefix + "raw", [&] { ExchangeZeroForce(raw); }},
      {kPrefix + "end_effector_force", [&] { arm.EndEffectorForce(kZero); }},
      {kPrefix + "joint_torques", [&] { arm.JointTorques(kZero); }},
      {kPrefix + "get_temperature", [&] { arm.GetTemperature(); }},
  };
  results.RecordRuns(cases, MeasureSideBySide(cases, kWarmUpExchanges, kCppExchanges, kExchangesPerTurn,
                                              AllocationsSoFar));
}

void MeasureDelayedReplies(const ResultWriter& results) {
  const SimulatorProcess simulator({"arm", "--reply-delay-us", kUsbReplyDelayUs});
  SerialStream stream(simulator.PortPath().c_str());
  Morvek3 arm(&stream);
  const auto exchange = [&] { arm.EndEffectorForce(kZero); };
  Repeat(kDelayedExchanges / 10, exchange);
  results.RecordRun(kPrefix + "delayed_reply", Repeat(kDelayedExchanges, exchange, AllocationsSoFar));
}

void MeasureSplitReplies(const ResultWriter& results) {
  const PtyResponder responder(kForceRequestLength, {ZeroStateReply(), kFirstPartLength, kUsbFrame});
  SerialStream stream(responder.PortPath().c_str());
  Morvek3 arm(&stream);
  RawPort raw(responder.PortPath());
  const std::vector<Case> cases{
      {kPrefix + "split_raw", [&] { ExchangeZeroForce(raw); }},
      {kPrefix + "split_reply", [&] { arm.EndEffectorForce(kZero); }},
  };
  results.RecordRuns(cases, MeasureSideBySide(cases, kSplitExchanges / 10, kSplitExchanges, kExchangesPerTurn,
                                              AllocationsSoFar));
}

// One header wait with the default time-out on a device that never answers; the
// library logs the time-out on stderr.
void MeasureSilentWait(const ResultWriter& results) {
  const SimulatorProcess simulator({"arm", "--silent"});
  SerialStream stream(simulator.PortPath().c_str());
  Morvek3 arm(&stream);
  results.RecordRun(kPrefix + "silent_wait", Repeat(1, [&] { arm.ReadHeaderCode(); }, AllocationsSoFar));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <results-directory>\n", argv[0]);
    return 2;
  }
  try {
    const ResultWriter results(argv[1]);
    MeasureExchanges(results);
    MeasureDelayedReplies(results);
    MeasureSplitReplies(results);
    MeasureSilentWait(results);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_library: %s\n", error.what());
    return 1;
  }
  return 0;
}
