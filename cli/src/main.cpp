// tavix: finds and examines Morvek3 arms and Gantrel handles on serial ports. See --help.

#include <stdexcept>
#include <string>

#include "Commands.h"
#include "ExternalCommand.h"
#include "HelpTexts.h"
#include "Options.h"
#include "ProgramMain.h"

namespace {

using namespace Tavix::Cli;

int Run(const Options& options) {
  switch (options.command) {
    case Command::Ports:
      return RunPorts(options);
    case Command::Detect:
      return RunDetect(options);
    case Command::Scan:
      return RunScan(options);
    case Command::Doctor:
      return RunDoctor(options);
    case Command::UdevRules:
      return RunUdevRules(options);
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

// The usage of the command named, if any, and where its help is.
std::string AfterBadArguments(int argc, const char* const* argv) {
  const Command command = CommandOf(argc, argv);
  const std::string help = command == Command::None ? "tavix --help" : std::string("tavix ") + argv[1] + " --help";
  return UsageText(command) + "Try '" + help + "'.\n";
}

const char* Help(const Options& options) { return HelpText(options.command); }

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && IsExternalCommand(argv[1])) return RunExternalCommand(argc, argv);
  return Tavix::CommandLine::RunProgram<Options>({"tavix", ParseOptions, AfterBadArguments, Help, Run}, argc, argv);
}
