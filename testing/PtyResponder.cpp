#include "PtyResponder.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "PseudoTerminal.h"

namespace Tavix::Testing {
namespace {

void WriteReply(int master, const PtyResponder::Reply& reply) {
  const std::size_t first = std::min(reply.first_part, reply.bytes.size());
  if (write(master, reply.bytes.data(), first) < 0) _exit(1);
  if (first == reply.bytes.size()) return;
  std::this_thread::sleep_for(reply.pause);
  if (write(master, reply.bytes.data() + first, reply.bytes.size() - first) < 0) _exit(1);
}

// The child's whole life: answer complete requests until the port fails.
[[noreturn]] void Answer(int master, std::size_t request_length, const PtyResponder::Reply& reply) {
  // Pauses end to the microsecond, not up to the default 50 us timer slack late.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::vector<uint8_t> chunk(4096);
  std::size_t pending = 0;  // bytes of requests received and not answered yet
  for (;;) {
    pollfd watch{master, POLLIN, 0};
    if (poll(&watch, 1, -1) < 0 && errno != EINTR) _exit(1);
    const ssize_t count = read(master, chunk.data(), chunk.size());
    if (count < 0 && errno != EAGAIN && errno != EINTR) _exit(1);
    pending += count > 0 ? static_cast<std::size_t>(count) : 0;
    for (; pending >= request_length; pending -= request_length) WriteReply(master, reply);
  }
}

}  // namespace

PtyResponder::PtyResponder(std::size_t request_length, Reply reply)
    : pty_(std::make_unique<Simulator::PseudoTerminal>()) {
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error(std::string("cannot start the responder: ") + std::strerror(errno));
  if (pid_ == 0) Answer(pty_->DeviceFd(), request_length, reply);
}

const std::string& PtyResponder::PortPath() const { return pty_->PortPath(); }

PtyResponder::~PtyResponder() {
  kill(pid_, SIGTERM);
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace Tavix::Testing
