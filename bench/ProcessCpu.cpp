#include "ProcessCpu.h"

#include <fstream>
#include <string>

namespace Tavix::Bench {

double ProcessCpuSeconds(pid_t pid) {
  std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
  double nanoseconds = 0;  // the first field: time spent running
  schedstat >> nanoseconds;
  return nanoseconds * 1e-9;
}

}  // namespace Tavix::Bench
