#include "Realtime.h"

#include <cerrno>
#include <cstring>
#include <sched.h>
#include <sys/mman.h>

namespace Tavix::Simulator {

std::string EnterRealtime() {
  std::string refused;
  sched_param parameters{};
  parameters.sched_priority = kRealtimePriority;
  if (sched_setscheduler(0, SCHED_FIFO, &parameters) != 0) {
    refused = std::string("SCHED_FIFO not permitted (") + std::strerror(errno) + ")";
  }
  if (mlockall(MCL_CURRENT | MCL_FUTURE) != 0) {
    refused += std::string(refused.empty() ? "" : "; ") + "memory not locked (" + std::strerror(errno) + ")";
  }
  return refused;
}

}  // namespace Tavix::Simulator
