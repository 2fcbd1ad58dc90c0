#include "Timing.h"

#include <ctime>
#include <fstream>
#include <string>

namespace Tavix::Testing {

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double ProcessCpuSeconds(pid_t pid) {
  std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
  double nanoseconds = 0;  // the first field: time spent running
  schedstat >> nanoseconds;
  return nanoseconds * 1e-9;
}

}  // namespace Tavix::Testing
