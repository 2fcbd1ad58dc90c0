#pragma once

#include <chrono>
#include <sys/types.h>

namespace Tavix::Testing {

/// CPU time the calling thread has used so far (CLOCK_THREAD_CPUTIME_ID), in seconds.
double ThreadCpuSeconds();

/// CPU time process `pid` (its main thread) has used so far, in seconds, to the
/// nanosecond (from /proc/<pid>/schedstat); 0 if it cannot be read.
double ProcessCpuSeconds(pid_t pid);

/// Wall time and CPU time of the calling thread since construction.
class Stopwatch {
 public:
  Stopwatch() : wall_start_(std::chrono::steady_clock::now()), cpu_start_(ThreadCpuSeconds()) {}

  double WallSeconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start_).count();
  }
  double CpuSeconds() const { return ThreadCpuSeconds() - cpu_start_; }

 private:
  std::chrono::steady_clock::time_point wall_start_;
  double cpu_start_;
};

}  // namespace Tavix::Testing
