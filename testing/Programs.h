#pragma once

#include <string>
#include <vector>

#include "ChildProcess.h"

// The programs built with the project, where tests and benchmarks find them.
namespace Tavix::Testing {

/// tavix-sim, the device simulator.
const char* SimulatorPath();

/// tavix, the command-line tool.
const char* ToolPath();

/// Runs tavix with `arguments` to its end.
ProgramResult RunTavix(const std::vector<std::string>& arguments);

/// Runs tavix-sim with `arguments` to its end.
ProgramResult RunSimulator(const std::vector<std::string>& arguments);

}  // namespace Tavix::Testing
