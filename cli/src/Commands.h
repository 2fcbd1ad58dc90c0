#pragma once

#include "Options.h"

namespace Tavix::Cli {

// The commands of the tool. Each returns the exit status and throws CommandFailure when
// it cannot do its work (see --help of each for what it prints).

int RunPorts(const Options& options);       ///< tavix ports
int RunDetect(const Options& options);      ///< tavix detect
int RunScan(const Options& options);        ///< tavix scan
int RunArmInfo(const Options& options);     ///< tavix info
int RunHandleInfo(const Options& options);  ///< tavix info --handle
int RunMonitor(const Options& options);     ///< tavix monitor
int RunLatency(const Options& options);     ///< tavix latency
int RunDoctor(const Options& options);      ///< tavix doctor
int RunUdevRules(const Options& options);   ///< tavix udev-rules

}  // namespace Tavix::Cli
