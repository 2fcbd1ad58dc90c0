#pragma once

namespace Tavix::Cli {

/// Sends standard error to /dev/null for as long as it lives. Used around detection
/// probes, where the library's log of time-outs on silent ports says nothing the verdict
/// does not.
class MutedStderr {
 public:
  MutedStderr();
  ~MutedStderr();

  MutedStderr(const MutedStderr&) = delete;
  MutedStderr& operator=(const MutedStderr&) = delete;

 private:
  int saved_ = -1;  ///< the original standard error; -1 when muting failed
};

}  // namespace Tavix::Cli
