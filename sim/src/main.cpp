// tavix-sim: a Morvek3 arm or a Gantrel handle on a pseudo-terminal. See --help.

#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>

#include "ArmResponder.h"
#include "HandleResponder.h"
#include "Options.h"
#include "PortServer.h"
#include "PseudoTerminal.h"
#include "StopSignals.h"
#include "Tavix/HardwareAPI/Version.h"

namespace {

using namespace Tavix::Simulator;

constexpr int kExitFailure = 1;
constexpr int kExitBadArguments = 2;

std::unique_ptr<DeviceResponder> MakeDevice(const Options& options,
                                            DeviceResponder::Clock::time_point start) {
  if (options.kind == Options::Kind::Handle) {
    HandleResponder::Identity identity;
    identity.device_id = options.device_id;
    return std::make_unique<HandleResponder>(identity, options.battery_raw, start);
  }
  ArmResponder::Identity identity;
  identity.device_id = options.device_id;
  identity.device_uuid = options.device_uuid;
  return std::make_unique<ArmResponder>(identity, start);
}

int Serve(const Options& options) {
  StopSignals signals;
  PseudoTerminal port;
  if (!options.link_path.empty()) port.AddLink(options.link_path);
  std::printf("%s\n", port.PortPath().c_str());
  std::fflush(stdout);

  const std::unique_ptr<DeviceResponder> device = MakeDevice(options, DeviceResponder::Clock::now());
  MessageFaults faults(options.faults);
  PortServer(port, *device, faults, options.server).Run(signals);
  return 0;  // the port hangs up as it goes out of scope
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = ParseOptions(argc, argv);
  } catch (const std::invalid_argument& error) {
    std::fprintf(stderr, "tavix-sim: %s\nTry 'tavix-sim --help'.\n", error.what());
    return kExitBadArguments;
  }
  if (options.show_help) {
    std::fputs(HelpText(), stdout);
    return 0;
  }
  if (options.show_version) {
    std::printf("tavix-sim %s\n", Tavix::HardwareAPI::GetLibraryVersion());
    return 0;
  }
  try {
    return Serve(options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tavix-sim: %s\n", error.what());
    return kExitFailure;
  }
}
