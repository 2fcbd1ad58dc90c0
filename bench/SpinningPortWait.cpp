// The waits of Library/src/PortWait.h done by spinning: every wait asks the driver how
// many bytes are queued (FIONREAD) over and over until there are enough or the
// deadline passes, and never sleeps. The benchmarks link it in place of
// Library/src/PortWait.cpp to show what sleeping in poll(2) costs in latency and what
// spinning costs in CPU. A hang-up is noticed only when FIONREAD fails.

#include "PortWait.h"

#include <cerrno>
#include <poll.h>
#include <sys/ioctl.h>

namespace Tavix::HardwareAPI::IO {

int QueuedBytes(int fd) {
  for (;;) {
    int count = 0;
    if (ioctl(fd, FIONREAD, &count) == 0) return count;
    if (errno != EINTR) return -1;
  }
}

WaitStatus WaitReadable(int fd, const Deadline& deadline) { return WaitForBytes(fd, 1, deadline); }

WaitStatus WaitForBytes(int fd, std::size_t count, const Deadline& deadline) {
  for (;;) {
    const int queued = fd < 0 ? 0 : QueuedBytes(fd);
    if (queued < 0) return WaitStatus::Failed;
    if (static_cast<std::size_t>(queued) >= count) return WaitStatus::Ready;
    if (deadline.Expired()) return WaitStatus::TimedOut;
  }
}

}  // namespace Tavix::HardwareAPI::IO
