// What the simulator itself adds to a round trip: the end-effector force exchange done
// with bare write/poll/read on a port the library opened, against tavix-sim and, side
// by side, against a bare pseudo-terminal responder; with the CPU each of the two
// answering processes used per request.
//
//   bench_raw <results-directory>

#include <cstdio>
#include <exception>

#include "ArmMessages.h"
#include "Measurement.h"
#include "PtyResponder.h"
#include "RawPort.h"
#include "ResultWriter.h"
#include "SimulatorProcess.h"
#include "Timing.h"

int main(int argc, char** argv) {
  using namespace Tavix::Bench;
  using Tavix::Testing::ProcessCpuSeconds;
  using Tavix::Testing::PtyResponder;
  using Tavix::Testing::SimulatorProcess;
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <results-directory>\n", argv[0]);
    return 2;
  }
  try {
    const ResultWriter results(argv[1]);
    const SimulatorProcess simulator({"arm"});
    const PtyResponder responder(kForceRequestLength, {ZeroStateReply()});
    RawPort to_simulator(simulator.PortPath());
    RawPort to_responder(responder.PortPath());
    const std::vector<Case> cases{
        {"raw.simulator", [&] { ExchangeZeroForce(to_simulator); }},
        {"raw.bare_pty", [&] { ExchangeZeroForce(to_responder); }},
    };
    const double simulator_start = ProcessCpuSeconds(simulator.Pid());
    const double responder_start = ProcessCpuSeconds(responder.Pid());
    const std::vector<Run> runs = MeasureSideBySide(cases, kWarmUpExchanges, kCppExchanges, kExchangesPerTurn);
    // The warm-up exchanges count too: both peers answered that many more requests.
    const double requests = kWarmUpExchanges + kCppExchanges;
    results.RecordRun(cases[0].name, runs[0],
                      {{"peer_cpu_us", (ProcessCpuSeconds(simulator.Pid()) - simulator_start) * 1e6 / requests}});
    results.RecordRun(cases[1].name, runs[1],
                      {{"peer_cpu_us", (ProcessCpuSeconds(responder.Pid()) - responder_start) * 1e6 / requests}});
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_raw: %s\n", error.what());
    return 1;
  }
  return 0;
}
