#include "SimulatorProcess.h"

#include <stdexcept>

#include "Programs.h"

namespace Tavix::Testing {
namespace {

using namespace std::chrono_literals;

constexpr auto kStartTimeout = 5s;

}  // namespace

SimulatorProcess::SimulatorProcess(const std::vector<std::string>& arguments)
    : process_(SimulatorPath(), arguments, ChildProcess::Stderr::Inherit) {
  if (process_.WaitForLines(1, kStartTimeout)) port_path_ = process_.Out().substr(0, process_.Out().find('\n'));
  if (port_path_.empty()) {
    Stop();
    throw std::runtime_error("the simulator printed no port path");
  }
}

SimulatorProcess::~SimulatorProcess() { Stop(); }

}  // namespace Tavix::Testing
