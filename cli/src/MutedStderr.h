#pragma once

#include "FileDescriptor.h"
#include "NonCopyable.h"

namespace Tavix::Cli {

/// Sends standard error to /dev/null for as long as it lives. Used around detection
/// probes, where the library's log of time-outs on silent ports says nothing the verdict
/// does not.
class MutedStderr : CommandLine::NonCopyable {
 public:
  MutedStderr();
  ~MutedStderr();

 private:
  CommandLine::FileDescriptor saved_;  ///< the original standard error; none when muting failed
};

}  // namespace Tavix::Cli
