#include "Programs.h"

namespace Tavix::Testing {

const char* SimulatorPath() { return TAVIX_SIM_PATH; }

const char* ToolPath() { return TAVIX_CLI_PATH; }

ProgramResult RunTavix(const std::vector<std::string>& arguments) {
  return ChildProcess(ToolPath(), arguments).Finish();
}

ProgramResult RunSimulator(const std::vector<std::string>& arguments) {
  return ChildProcess(SimulatorPath(), arguments).Finish();
}

}  // namespace Tavix::Testing
