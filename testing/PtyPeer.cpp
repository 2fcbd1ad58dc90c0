#include "PtyPeer.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

#include "PseudoTerminal.h"

namespace Tavix::Testing {
namespace {

using Clock = std::chrono::steady_clock;

int MillisLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

PeerStep Expect(Bytes bytes, Millis within) { return {PeerStep::Kind::Expect, std::move(bytes), within}; }
PeerStep Send(Bytes bytes) { return {PeerStep::Kind::Send, std::move(bytes), Millis(0)}; }
PeerStep Pause(Millis duration) { return {PeerStep::Kind::Pause, {}, duration}; }
PeerStep HangUp() { return {PeerStep::Kind::HangUp, {}, Millis(0)}; }

PtyPeer::PtyPeer() : pty_(std::make_unique<Simulator::PseudoTerminal>()) {}

PtyPeer::~PtyPeer() {
  if (script_.joinable()) script_.join();
}

const std::string& PtyPeer::Path() const { return pty_->PortPath(); }
int PtyPeer::SlaveFd() const { return pty_->HostFd(); }
int PtyPeer::QueuedTowardsLibrary() const { return pty_->QueuedTowardsHost(); }
void PtyPeer::HangUp() { pty_->HangUp(); }

void PtyPeer::Send(const Bytes& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = write(pty_->DeviceFd(), bytes.data() + sent, bytes.size() - sent);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (errno == EAGAIN || errno == EINTR) {
      pollfd out{pty_->DeviceFd(), POLLOUT, 0};
      poll(&out, 1, 100);
    } else {
      throw std::runtime_error(std::string("peer write failed: ") + std::strerror(errno));
    }
  }
}

Bytes PtyPeer::Receive(std::size_t count, Millis within) {
  const auto deadline = Clock::now() + within;
  Bytes received;
  uint8_t chunk[512];
  while (received.size() < count) {
    const std::size_t want = std::min(sizeof chunk, count - received.size());
    const ssize_t n = read(pty_->DeviceFd(), chunk, want);
    if (n > 0) {
      received.insert(received.end(), chunk, chunk + n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    pollfd in{pty_->DeviceFd(), POLLIN, 0};
    if (poll(&in, 1, MillisLeft(deadline)) <= 0) break;
  }
  return received;
}

Bytes PtyPeer::Drain(Millis within) { return Receive(SIZE_MAX, within); }

void PtyPeer::AwaitQueued(int count, Millis within) const {
  const auto deadline = Clock::now() + within;
  while (QueuedTowardsLibrary() < count && Clock::now() < deadline) {
    std::this_thread::sleep_for(Millis(1));
  }
}

void PtyPeer::Play(std::vector<PeerStep> steps) {
  if (script_.joinable()) script_.join();
  script_ = std::thread(&PtyPeer::RunScript, this, std::move(steps));
}

testing::AssertionResult PtyPeer::Finish() {
  if (script_.joinable()) script_.join();
  std::lock_guard<std::mutex> lock(failure_mutex_);
  if (failure_.empty()) return testing::AssertionSuccess();
  return testing::AssertionFailure() << failure_;
}

void PtyPeer::RunScript(std::vector<PeerStep> steps) {
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const PeerStep& step = steps[i];
    switch (step.kind) {
      case PeerStep::Kind::Expect: {
        const Bytes got = Receive(step.bytes.size(), step.duration);
        if (got != step.bytes) {
          std::lock_guard<std::mutex> lock(failure_mutex_);
          failure_ = "step " + std::to_string(i) + ": expected " + Hex(step.bytes) + ", got " +
                     (got.empty() ? std::string("nothing") : Hex(got));
          return;
        }
        break;
      }
      case PeerStep::Kind::Send:
        Send(step.bytes);
        break;
      case PeerStep::Kind::Pause:
        std::this_thread::sleep_for(step.duration);
        break;
      case PeerStep::Kind::HangUp:
        HangUp();
        break;
    }
  }
}

}  // namespace Tavix::Testing
