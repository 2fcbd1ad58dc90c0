// tavix ports: the candidate ports of the device directory and their kinds.

#include <algorithm>
#include <cstdio>

#include "CandidatePorts.h"
#include "Commands.h"

namespace Tavix::Cli {

int RunPorts(const Options& options) {
  const auto candidates = CandidatePorts(options.device_directory);
  if (candidates.empty()) {
    std::printf("no candidate ports in %s (names with ttyACM, ttyUSB or rfcomm)\n",
                options.device_directory.c_str());
    return 0;
  }
  int path_width = 0;
  for (const auto& candidate : candidates) {
    path_width = std::max(path_width, static_cast<int>(candidate.path.size()));
  }
  for (const auto& candidate : candidates) {
    std::printf("%-*s  %-6s  %s\n", path_width, candidate.path.c_str(), KindName(candidate.kind),
                KindUse(candidate.kind));
  }
  return 0;
}

}  // namespace Tavix::Cli
