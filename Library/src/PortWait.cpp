#include "PortWait.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <poll.h>
#include <sys/ioctl.h>

namespace Tavix::HardwareAPI::IO {
namespace {

using Duration = Deadline::Clock::duration;
using namespace std::chrono_literals;

// poll(2) cannot wait for "more" bytes while some are already queued; then the wait
// naps instead, starting short and doubling while nothing new arrives.
constexpr Duration kFirstNap = 50us;
constexpr Duration kLongestNap = 1ms;

bool IsHangUp(short revents) { return (revents & (POLLERR | POLLHUP | POLLNVAL)) != 0; }

WaitStatus FailedByHangUp(short revents) {
  errno = (revents & POLLNVAL) ? EBADF : EIO;
  return WaitStatus::Failed;
}

timespec ToTimespec(Duration duration) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(duration - seconds);
  return timespec{static_cast<time_t>(seconds.count()), static_cast<long>(nanoseconds.count())};
}

// Sleeps for `nap`, waking early only if the port hangs up.
WaitStatus Nap(int fd, Duration nap) {
  pollfd watch{fd, 0, 0};
  const timespec length = ToTimespec(nap);
  if (ppoll(&watch, 1, &length, nullptr) > 0 && IsHangUp(watch.revents)) {
    return FailedByHangUp(watch.revents);
  }
  return WaitStatus::Ready;
}

WaitStatus SleepUntil(const Deadline& deadline) {
  while (!deadline.Expired()) poll(nullptr, 0, deadline.PollTimeoutMs());
  return WaitStatus::TimedOut;
}

}  // namespace

int QueuedBytes(int fd) {
  for (;;) {
    int count = 0;
    if (ioctl(fd, FIONREAD, &count) == 0) return count;
    if (errno != EINTR) return -1;
  }
}

WaitStatus WaitReadable(int fd, const Deadline& deadline) {
  for (;;) {
    pollfd watch{fd, POLLIN, 0};
    const int ready = poll(&watch, 1, deadline.PollTimeoutMs());
    if (ready < 0) {
      if (errno == EINTR) continue;
      return WaitStatus::Failed;
    }
    if (ready == 0) {
      if (deadline.Expired()) return WaitStatus::TimedOut;
      continue;
    }
    if (IsHangUp(watch.revents)) return FailedByHangUp(watch.revents);
    return WaitStatus::Ready;
  }
}

WaitStatus WaitForBytes(int fd, std::size_t count, const Deadline& deadline) {
  if (fd < 0) return SleepUntil(deadline);
  Duration nap = kFirstNap;
  int last_queued = -1;
  for (;;) {
    const int queued = QueuedBytes(fd);
    if (queued < 0) return WaitStatus::Failed;
    if (static_cast<std::size_t>(queued) >= count) return WaitStatus::Ready;
    if (deadline.Expired()) return WaitStatus::TimedOut;

    WaitStatus status;
    if (queued == 0) {
      status = WaitReadable(fd, deadline);
    } else {
      nap = queued == last_queued ? std::min(nap * 2, kLongestNap) : kFirstNap;
      last_queued = queued;
      status = Nap(fd, std::min(nap, deadline.Remaining()));
    }
    if (status == WaitStatus::Failed) return status;
  }
}

}  // namespace Tavix::HardwareAPI::IO
