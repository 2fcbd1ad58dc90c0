// tavix: finds and examines Morvek3 arms and Gantrel handles on serial ports. See --help.

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>

#include "Commands.h"
#include "HelpTexts.h"
#include "Options.h"
#include "Tavix/HardwareAPI/Version.h"

namespace {

using namespace Tavix::Cli;

constexpr int kExitFailure = 1;
constexpr int kExitBadArguments = 2;

int Run(const Options& options) {
  switch (options.command) {
    case Command::Ports:
      return RunPorts(options);
    case Command::Detect:
      return RunDetect(options);
    case Command::Info:
      return options.handle ? RunHandleInfo(options) : RunArmInfo(options);
    case Command::Monitor:
      return RunMonitor(options);
    case Command::Latency:
      return RunLatency(options);
    case Command::None:
      break;
  }
  throw std::logic_error("no command to run");
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = ParseOptions(argc, argv);
  } catch (const std::invalid_argument& error) {
    const Command command = CommandOf(argc, argv);
    const std::string help =
        command == Command::None ? "tavix --help" : std::string("tavix ") + argv[1] + " --help";
    std::fprintf(stderr, "tavix: %s\n%sTry '%s'.\n", error.what(), UsageText(command).c_str(), help.c_str());
    return kExitBadArguments;
  }
  if (options.show_help) {
    std::fputs(HelpText(options.command), stdout);
    return 0;
  }
  if (options.show_version) {
    std::printf("tavix %s\n", Tavix::HardwareAPI::GetLibraryVersion());
    return 0;
  }
  try {
    return Run(options);
  } catch (const std::exception& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "tavix: %s\n", error.what());
    return kExitFailure;
  }
}
