#include "PortWait.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <optional>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace Tavix::HardwareAPI::IO {
namespace {

using Duration = Deadline::Clock::duration;
using namespace std::chrono_literals;

// poll(2) cannot wait for "more" bytes while some are already queued: the port stays
// readable. An edge-triggered epoll can, as it reports every arrival of new bytes, so
// the wait for the rest of a message sleeps until the rest comes. Naps (sleeping a
// while, then asking again) cost more both ways: measured with a reply whose second
// half came 1 ms after the first, naps doubling from 50 us to 1 ms saw the rest about
// 100 us late at p50 and 800 us late at p99, with nearly three times the CPU (see
// bench/RESULTS.md). The wait still looks at the queue at least this often, in case a
// driver does not signal an arrival, and naps this long if epoll is not available.
constexpr Duration kLongestQuietSpell = 1ms;

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

// How long a wait for bytes on this thread spins before it sleeps.
thread_local Duration spin_budget = Duration::zero();

// Asks the port's queue again and again, without sleeping, until `count` bytes are in
// it. A port that hung up fails as soon as what is queued falls short, as in a sleeping
// wait: poll(2) with no time-out tells.
WaitStatus SpinForBytes(int fd, std::size_t count, const Deadline& deadline) {
  for (;;) {
    pollfd watch{fd, POLLIN, 0};
    const int ready = poll(&watch, 1, 0);
    if (ready < 0 && errno != EINTR) return WaitStatus::Failed;
    const int queued = QueuedBytes(fd);
    if (queued < 0) return WaitStatus::Failed;
    if (static_cast<std::size_t>(queued) >= count) return WaitStatus::Ready;
    if (ready > 0 && IsHangUp(watch.revents)) return FailedByHangUp(watch.revents);
    if (deadline.Expired()) return WaitStatus::TimedOut;
  }
}

// The arrivals of new bytes on a port, and its hang-up, for as long as the object lives.
class ArrivalWatch {
 public:
  explicit ArrivalWatch(int fd) : epoll_fd_(epoll_create1(EPOLL_CLOEXEC)) {
    epoll_event interest{};
    interest.events = EPOLLIN | EPOLLET;
    if (epoll_fd_ >= 0 && epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &interest) != 0) {
      close(epoll_fd_);
      epoll_fd_ = -1;
    }
  }
  ~ArrivalWatch() {
    if (epoll_fd_ >= 0) close(epoll_fd_);
  }
  ArrivalWatch(const ArrivalWatch&) = delete;
  ArrivalWatch& operator=(const ArrivalWatch&) = delete;

  bool Watching() const { return epoll_fd_ >= 0; }

  // Sleeps until bytes arrive (or arrived since the last call), the port hangs up or
  // `longest` passes. A signal ends the sleep early, as an arrival would.
  WaitStatus Next(std::chrono::milliseconds longest) {
    epoll_event event{};
    const int ready = epoll_wait(epoll_fd_, &event, 1, static_cast<int>(longest.count()));
    if (ready < 0 && errno != EINTR) return WaitStatus::Failed;
    if (ready > 0 && (event.events & (EPOLLERR | EPOLLHUP)) != 0) {
      errno = EIO;
      return WaitStatus::Failed;
    }
    return WaitStatus::Ready;
  }

 private:
  int epoll_fd_;
};

// Blocks until `fd` is readable: poll's POLLIN is "at least one byte queued". A port
// that hung up with bytes still queued is read to the end first.
WaitStatus WaitForFirstByte(int fd, const Deadline& deadline) {
  const WaitStatus status = WaitReadable(fd, deadline);
  if (status != WaitStatus::Failed) return status;
  return QueuedBytes(fd) > 0 ? WaitStatus::Ready : WaitStatus::Failed;
}

// Sleeps until more bytes arrive on `fd`, which already has some queued, for at most
// one quiet spell.
WaitStatus WaitForArrival(ArrivalWatch& arrivals, int fd, const Deadline& deadline) {
  const Duration spell = std::min(kLongestQuietSpell, deadline.Remaining());
  if (!arrivals.Watching()) return Nap(fd, spell);
  return arrivals.Next(std::chrono::ceil<std::chrono::milliseconds>(spell));
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

// A wait for one byte (every reply's header code) is left to poll(2) alone, without
// asking the driver's queue before and after: two system calls fewer in every exchange
// (about 1.5 us where a system call costs 0.7 us, as on the benchmark machine).
//
// No wait spins before it blocks: a reply comes no sooner than about 15 us after its
// request on a pseudo-terminal, and 125 us to 1 ms after it on USB, so a spin short
// enough to be cheap catches nothing, and one long enough to catch pseudo-terminal
// replies costs a thread waiting for a USB device several per cent of a core and takes
// the core the other side needs on a small machine (see bench/RESULTS.md).
WaitStatus WaitForBytes(int fd, std::size_t count, const Deadline& deadline) {
  if (fd < 0) return SleepUntil(deadline);
  if (spin_budget > Duration::zero()) {
    const WaitStatus spun = SpinForBytes(fd, count, Deadline::In(std::min(spin_budget, deadline.Remaining())));
    if (spun != WaitStatus::TimedOut || deadline.Expired()) return spun;
  }
  if (count == 1) return WaitForFirstByte(fd, deadline);
  std::optional<ArrivalWatch> arrivals;  // set up once part of the bytes is queued
  bool woke_readable = false;            // the last wait was poll(2) saying "readable"
  for (;;) {
    const int queued = QueuedBytes(fd);
    if (queued < 0) return WaitStatus::Failed;
    if (static_cast<std::size_t>(queued) >= count) return WaitStatus::Ready;
    if (deadline.Expired()) return WaitStatus::TimedOut;
    if (queued > 0 && !arrivals) arrivals.emplace(fd);

    WaitStatus status;
    if (arrivals) {
      status = WaitForArrival(*arrivals, fd, deadline);
    } else if (woke_readable) {
      // Readable, yet nothing queued: poll(2) would return at once again.
      status = NapBriefly(fd, deadline);
      woke_readable = false;
    } else {
      status = WaitReadable(fd, deadline);
      woke_readable = status == WaitStatus::Ready;
    }
    if (status == WaitStatus::Failed) return status;
  }
}

void SpinWaitsOnThisThread(std::chrono::nanoseconds budget) noexcept {
  spin_budget = std::chrono::duration_cast<Duration>(budget);
}

WaitStatus NapBriefly(int fd, const Deadline& deadline) {
  const WaitStatus status = Nap(fd, std::min(kLongestQuietSpell, deadline.Remaining()));
  if (status == WaitStatus::Failed) return status;
  return deadline.Expired() ? WaitStatus::TimedOut : WaitStatus::Ready;
}

}  // namespace Tavix::HardwareAPI::IO
