#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "ChildProcess.h"

namespace Tavix::Testing {

/// A running `tavix-sim`, the device simulator built with the project, for tests and
/// benchmarks: started with the given arguments (for example {"arm", "--silent"}), it
/// plays a device on a new pseudo-terminal whose path it prints first. Its standard
/// error is the caller's. Stopped with SIGTERM when the object goes away.
class SimulatorProcess {
 public:
  /// Starts the simulator and waits up to five seconds for its port path. Throws
  /// std::runtime_error if it cannot be started or prints no path.
  explicit SimulatorProcess(const std::vector<std::string>& arguments);
  virtual ~SimulatorProcess();

  SimulatorProcess(const SimulatorProcess&) = delete;
  SimulatorProcess& operator=(const SimulatorProcess&) = delete;

  /// The simulated device's serial port.
  const std::string& PortPath() const { return port_path_; }

  /// The simulator's process id.
  pid_t Pid() const { return process_.Pid(); }

  /// Sends SIGTERM (unless it has already ended) and waits for the simulator. Returns
  /// its exit status, or -1 if a signal killed it. Later calls return the same.
  int Stop() { return process_.Stop(); }

  /// Waits up to `within` for the simulator to end by itself; returns its exit status,
  /// or nothing if it is still running.
  std::optional<int> ExitStatusWithin(std::chrono::milliseconds within) {
    return process_.ExitStatusWithin(within);
  }

 private:
  ChildProcess process_;
  std::string port_path_;
};

}  // namespace Tavix::Testing
