#include "PortServer.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/prctl.h>
#include <system_error>
#include <unistd.h>

#include "Durations.h"

namespace Tavix::Simulator {
namespace {

using namespace std::chrono_literals;

// While hanging up: how often to look whether the host has read the last reply, how
// long written bytes may take to reach the host's queue (the kernel moves them to the
// other side of the pty asynchronously, so an empty queue right after a write proves
// nothing), and how long to wait for the host at most.
constexpr PortServer::Clock::duration kHangUpCheck = 1ms;
constexpr PortServer::Clock::duration kReplyTransit = 10ms;
constexpr PortServer::Clock::duration kHostReadGrace = 1s;

constexpr std::size_t kReadChunk = 4096;

// Streamed frames the host has not read yet, at most: about a dozen. Beyond that a new
// frame is dropped, as a device with a small transmit buffer would drop it, so a host
// that opens the port late meets fresh frames rather than seconds-old ones.
constexpr int kStreamBacklogBytes = 256;

[[noreturn]] void ThrowSystemError(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

PortServer::PortServer(PseudoTerminal& port, DeviceResponder& device, MessageFaults& faults,
                       const Settings& settings)
    : port_(port), device_(device), faults_(faults), settings_(settings) {
  // Timed wake-ups (delayed replies, frames) come due to the microsecond, not up to the
  // default 50 us timer slack late.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

void PortServer::Run(const CommandLine::StopSignals& signals) {
  next_frame_ = Clock::now() + settings_.stream_period.value_or(Clock::duration::zero());
  while (!signals.Requested()) {
    WaitForPort(signals, Clock::now());
    const Clock::time_point now = Clock::now();
    ReadRequests();
    AnswerRequests(now);
    ReleaseDueReplies(now);
    StreamIfDue(now);
    WriteUnsent();
    if (ReadyToHangUp(now)) return;
  }
}

void PortServer::WaitForPort(const CommandLine::StopSignals& signals, Clock::time_point now) {
  pollfd watch{port_.DeviceFd(), static_cast<short>(POLLIN | (unsent_.empty() ? 0 : POLLOUT)), 0};
  const std::optional<Clock::time_point> wake_up = NextWakeUp(now);
  timespec timeout{};
  if (wake_up) timeout = CommandLine::ToTimespec(*wake_up - now);
  if (ppoll(&watch, 1, wake_up ? &timeout : nullptr, signals.WaitMask()) < 0 && errno != EINTR) {
    ThrowSystemError("cannot wait for the port");
  }
  // The loop keeps its own descriptor on the slave side, so these mean a broken port.
  if (watch.revents & (POLLERR | POLLHUP | POLLNVAL)) {
    errno = EIO;
    ThrowSystemError("the pseudo-terminal failed");
  }
}

std::optional<PortServer::Clock::time_point> PortServer::NextWakeUp(Clock::time_point now) const {
  std::optional<Clock::time_point> wake_up;
  auto consider = [&wake_up](Clock::time_point at) { wake_up = wake_up ? std::min(*wake_up, at) : at; };
  if (!delayed_.empty()) consider(delayed_.front().due);
  if (settings_.stream_period && !settings_.silent && !HangingUp()) consider(next_frame_);
  if (HangingUp()) consider(now + kHangUpCheck);
  return wake_up;
}

void PortServer::ReadRequests() {
  uint8_t chunk[kReadChunk];
  for (;;) {
    const ssize_t count = read(port_.DeviceFd(), chunk, sizeof chunk);
    if (count > 0) {
      if (!HangingUp()) received_.insert(received_.end(), chunk, chunk + count);
      if (static_cast<std::size_t>(count) < sizeof chunk) return;  // drained: spare a read that fails
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && errno != EAGAIN) ThrowSystemError("cannot read from the port");
    return;
  }
}

void PortServer::AnswerRequests(Clock::time_point now) {
  while (!received_.empty() && !HangingUp()) {
    DeviceResponder::Exchange exchange = device_.Answer(received_, now);
    if (exchange.consumed == 0) return;  // the rest of the request is still on its way
    received_.erase(received_.begin(), received_.begin() + static_cast<long>(exchange.consumed));
    if (exchange.reply.empty()) continue;
    ++answered_;
    if (!settings_.silent) {
      delayed_.push_back({now + settings_.reply_delay, faults_.Apply(std::move(exchange.reply))});
    }
  }
  if (HangingUp()) received_.clear();
}

void PortServer::ReleaseDueReplies(Clock::time_point now) {
  while (!delayed_.empty() && delayed_.front().due <= now) {
    const Bytes& reply = delayed_.front().bytes;
    unsent_.insert(unsent_.end(), reply.begin(), reply.end());
    delayed_.pop_front();
  }
}

void PortServer::StreamIfDue(Clock::time_point now) {
  if (!settings_.stream_period || settings_.silent || HangingUp() || now < next_frame_) return;
  if (unsent_.empty() && port_.QueuedTowardsHost() < kStreamBacklogBytes) {
    const Bytes frame = faults_.Apply(device_.StreamedMessage(now));
    unsent_.insert(unsent_.end(), frame.begin(), frame.end());
  }
  next_frame_ += *settings_.stream_period;
  if (next_frame_ <= now) next_frame_ = now + *settings_.stream_period;  // fell behind: no burst
}

void PortServer::WriteUnsent() {
  while (!unsent_.empty()) {
    const ssize_t count = write(port_.DeviceFd(), unsent_.data(), unsent_.size());
    if (count > 0) {
      unsent_.erase(unsent_.begin(), unsent_.begin() + count);
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && errno != EAGAIN) ThrowSystemError("cannot write to the port");
    return;  // full: poll says when there is room again
  }
}

bool PortServer::HangingUp() const { return settings_.hangup_after && answered_ >= *settings_.hangup_after; }

bool PortServer::ReadyToHangUp(Clock::time_point now) {
  if (!HangingUp() || !delayed_.empty() || !unsent_.empty()) return false;
  if (!last_reply_written_) last_reply_written_ = now;
  const Clock::duration waited = now - *last_reply_written_;
  if (waited >= kHostReadGrace) return true;
  return waited >= kReplyTransit && port_.QueuedTowardsHost() <= 0;
}

}  // namespace Tavix::Simulator
