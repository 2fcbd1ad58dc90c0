// tavix detect: probes the candidate ports for arms and handles. Standard output gets one
// line per device found and nothing else, so that scripts can read it; the port being
// probed and the closing remarks go to standard error. Ports are named as the device
// directory (and tavix scan) names them, not by the paths they resolve to.

#include <cstdio>
#include <string>
#include <vector>

#include "CandidatePorts.h"
#include "Commands.h"
#include "MutedStderr.h"
#include "PortAccess.h"
#include "StatusLine.h"

namespace Tavix::Cli {
namespace {

using HardwareAPI::PortCandidate;
using HardwareAPI::PortKind;

enum class Finding { Nothing, Arm, Handle, Busy };

bool NoneChosen(const DetectTargets& targets) {
  return !targets.arms && !targets.handles && !targets.wired && !targets.wireless;
}

bool LooksForArmOn(const PortCandidate& candidate, const DetectTargets& targets) {
  return (targets.arms || NoneChosen(targets)) && candidate.kind == PortKind::Acm;
}

bool LooksForHandleOn(const PortCandidate& candidate, const DetectTargets& targets) {
  if (targets.handles || NoneChosen(targets)) return true;
  return (targets.wired && candidate.kind == PortKind::Usb) ||
         (targets.wireless && candidate.kind == PortKind::Rfcomm);
}

class Detection {
 public:
  explicit Detection(const DetectTargets& targets) : targets_(targets), progress_(stderr) {}

  // Probes `candidate` for what the targets ask for: an arm first, then a handle. A
  // port whose probe failed because another program holds it is not probed again.
  Finding Examine(const NamedCandidate& candidate) {
    const PortCandidate& port = candidate.port;
    if (LooksForArmOn(port, targets_)) {
      if (Probe(candidate, "an arm", HardwareAPI::ProbeMorvek3WithTimeout)) return Finding::Arm;
      if (IsHeldByAnotherProgram(port.path)) return Finding::Busy;
    }
    if (LooksForHandleOn(port, targets_)) {
      if (Probe(candidate, "a handle", HardwareAPI::ProbeHandleWithTimeout)) return Finding::Handle;
      if (IsHeldByAnotherProgram(port.path)) return Finding::Busy;
    }
    return Finding::Nothing;
  }

  void ClearProgress() { progress_.Clear(); }

  int Probed() const { return probed_; }

 private:
  // Runs one of the library's probes (with its time-out rule) on `candidate`, showing the wait.
  bool Probe(const NamedCandidate& candidate, const char* device, bool (*probe)(const char*)) {
    progress_.Show("probing " + candidate.name + " for " + device + "...");
    ++probed_;
    const MutedStderr quiet;
    return probe(candidate.port.path.c_str());
  }

  const DetectTargets& targets_;
  StatusLine progress_;
  int probed_ = 0;
};

void Report(Detection& detection, const char* device, const std::string& port) {
  detection.ClearProgress();
  std::printf("%s %s\n", device, port.c_str());
  std::fflush(stdout);
}

}  // namespace

int RunDetect(const Options& options) {
  const auto candidates = NamedCandidatePorts(options.device_directory);
  Detection detection(options.targets);
  int found = 0;
  std::vector<std::string> busy;
  for (const NamedCandidate& candidate : candidates) {
    switch (detection.Examine(candidate)) {
      case Finding::Arm:
        Report(detection, "arm", candidate.name);
        ++found;
        break;
      case Finding::Handle:
        Report(detection, "handle", candidate.name);
        ++found;
        break;
      case Finding::Busy:
        busy.push_back(candidate.name);
        break;
      case Finding::Nothing:
        break;
    }
  }
  detection.ClearProgress();
  if (found == 0) {
    std::fprintf(stderr, "no device found: probed %d of the %zu candidate ports in %s\n", detection.Probed(),
                 candidates.size(), options.device_directory.c_str());
  }
  for (const std::string& port : busy) {
    std::fprintf(stderr, "busy: another program holds %s; close it and detect again\n", port.c_str());
  }
  return 0;
}

}  // namespace Tavix::Cli
