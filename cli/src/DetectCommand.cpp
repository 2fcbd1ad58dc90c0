// tavix detect: probes the candidate ports for arms and handles, showing which port it
// waits on.

#include <cstdio>
#include <string>

#include "CandidatePorts.h"
#include "Commands.h"
#include "MutedStderr.h"
#include "StatusLine.h"

namespace Tavix::Cli {
namespace {

using HardwareAPI::PortCandidate;
using HardwareAPI::PortKind;

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

// Runs one of the library's probes (with its time-out rule) on `port`, showing the wait,
// and counts it in `probed`.
bool Probe(StatusLine& status, int& probed, const std::string& port, const char* device,
           bool (*probe)(const char*)) {
  status.Show("probing " + port + " for " + device + "...");
  ++probed;
  const MutedStderr quiet;
  return probe(port.c_str());
}

void Report(StatusLine& status, const char* device, const std::string& port) {
  status.Clear();
  std::printf("%s %s\n", device, port.c_str());
  std::fflush(stdout);
}

}  // namespace

int RunDetect(const Options& options) {
  const auto candidates = CandidatePorts(options.device_directory);
  StatusLine status;
  int probed = 0;
  int found = 0;
  for (const PortCandidate& candidate : candidates) {
    if (LooksForArmOn(candidate, options.targets) &&
        Probe(status, probed, candidate.path, "an arm", HardwareAPI::ProbeMorvek3WithTimeout)) {
      Report(status, "arm", candidate.path);
      ++found;
    } else if (LooksForHandleOn(candidate, options.targets) &&
               Probe(status, probed, candidate.path, "a handle", HardwareAPI::ProbeHandleWithTimeout)) {
      Report(status, "handle", candidate.path);
      ++found;
    }
  }
  status.Clear();
  if (found == 0) {
    std::printf("no device found: probed %d of the %zu candidate ports in %s\n", probed,
                candidates.size(), options.device_directory.c_str());
  }
  return 0;
}

}  // namespace Tavix::Cli
