#include "SpinningStream.h"

#include "IO/PortWait.h"

namespace Tavix::Bench {

using HardwareAPI::IO::Deadline;
using HardwareAPI::IO::QueuedBytes;
using HardwareAPI::IO::WaitStatus;

WaitStatus SpinningStream::WaitForBytes(std::size_t count, const Deadline& deadline) {
  const int fd = Descriptor();
  for (;;) {
    const int queued = fd < 0 ? 0 : QueuedBytes(fd);
    if (queued < 0) return WaitStatus::Failed;
    if (static_cast<std::size_t>(queued) >= count) return WaitStatus::Ready;
    if (deadline.Expired()) return WaitStatus::TimedOut;
  }
}

}  // namespace Tavix::Bench
