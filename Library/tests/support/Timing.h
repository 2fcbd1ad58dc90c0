#pragma once

#include <chrono>
#include <ctime>

namespace Tavix::Testing {

/// Wall time and CPU time of the calling thread since construction.
class Stopwatch {
 public:
  Stopwatch() : wall_start_(std::chrono::steady_clock::now()), cpu_start_(ThreadCpuSeconds()) {}

  double WallSeconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start_).count();
  }
  double CpuSeconds() const { return ThreadCpuSeconds() - cpu_start_; }

 private:
  static double ThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
  }

  std::chrono::steady_clock::time_point wall_start_;
  double cpu_start_;
};

}  // namespace Tavix::Testing
