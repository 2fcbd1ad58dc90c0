// tavix-sim: a Morvek3 arm or a Gantrel handle on a pseudo-terminal. See --help.

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "ArmResponder.h"
#include "HandleResponder.h"
#include "Options.h"
#include "PortServer.h"
#include "ProgramMain.h"
#include "PseudoTerminal.h"
#include "Realtime.h"
#include "StopSignals.h"

namespace {

using namespace Tavix::Simulator;
using Tavix::CommandLine::StopSignals;

std::unique_ptr<DeviceResponder> MakeDevice(const Options& options,
                                            DeviceResponder::Clock::time_point start) {
  if (options.kind == Options::Kind::Handle) {
    HandleResponder::Identity identity;
    identity.numbers.device_id = options.device_id;
    return std::make_unique<HandleResponder>(identity, options.battery_raw, start);
  }
  ArmResponder::Identity identity;
  identity.numbers.device_id = options.device_id;
  identity.device_uuid = options.device_uuid;
  return std::make_unique<ArmResponder>(identity, options.arm, start);
}

int Serve(const Options& options) {
  // Every terminating signal hangs up the port and removes the link rather than leave the
  // link dangling; SIGHUP is a normal stop too, as for a simulator started from a
  // terminal that is closed.
  const StopSignals signals({SIGINT, SIGTERM, SIGHUP}, StopSignals::Delivery::Caught);
  if (options.realtime) {
    const std::string refused = EnterRealtime();
    if (!refused.empty()) std::fprintf(stderr, "tavix-sim: running without real time: %s\n", refused.c_str());
  }
  PseudoTerminal port;
  if (!options.link_path.empty()) port.AddLink(options.link_path);
  std::printf("%s\n", port.PortPath().c_str());
  std::fflush(stdout);

  const std::unique_ptr<DeviceResponder> device = MakeDevice(options, DeviceResponder::Clock::now());
  MessageFaults faults(options.faults);
  PortServer(port, *device, faults, options.server).Run(signals);
  signals.ThrowUnlessNormal();  // status 1, after the port has hung up as it went out of scope
  return 0;  // the port hangs up as it goes out of scope
}

std::string AfterBadArguments(int, const char* const*) { return "Try 'tavix-sim --help'.\n"; }

const char* Help(const Options&) { return HelpText(); }

}  // namespace

int main(int argc, char** argv) {
  return Tavix::CommandLine::RunProgram<Options>({"tavix-sim", ParseOptions, AfterBadArguments, Help, Serve}, argc,
                                                 argv);
}
