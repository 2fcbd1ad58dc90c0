#include "PtyResponder.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace Tavix::Bench {
namespace {

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

void Pause(std::chrono::microseconds pause) {
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(pause).count();
  const timespec length{static_cast<time_t>(nanoseconds / 1000000000), static_cast<long>(nanoseconds % 1000000000)};
  clock_nanosleep(CLOCK_MONOTONIC, 0, &length, nullptr);
}

void WriteReply(int master, const PtyResponder::Reply& reply) {
  const std::size_t first = std::min(reply.first_part, reply.bytes.size());
  if (write(master, reply.bytes.data(), first) < 0) _exit(1);
  if (first == reply.bytes.size()) return;
  Pause(reply.pause);
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

PtyResponder::PtyResponder(std::size_t request_length, Reply reply) {
  int master = -1;
  int slave = -1;
  char name[PATH_MAX] = {};
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) Fail("cannot open a pseudo-terminal");
  port_path_ = name;
  termios settings{};
  tcgetattr(slave, &settings);
  cfmakeraw(&settings);
  tcsetattr(slave, TCSANOW, &settings);

  pid_ = fork();
  if (pid_ < 0) Fail("cannot start the responder");
  if (pid_ == 0) Answer(master, request_length, reply);  // keeps the slave open, as the simulator does
  close(master);
  close(slave);
}

PtyResponder::~PtyResponder() {
  kill(pid_, SIGTERM);
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace Tavix::Bench
