#pragma once

#include <sys/types.h>

namespace Tavix::Bench {

/// CPU time process `pid` (its main thread) has used so far, in seconds, to the
/// nanosecond (from /proc/<pid>/schedstat); 0 if it cannot be read.
double ProcessCpuSeconds(pid_t pid);

}  // namespace Tavix::Bench
