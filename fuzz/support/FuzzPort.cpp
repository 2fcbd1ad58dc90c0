#include "FuzzPort.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

// libFuzzer's -timeout alarm interrupts system calls (its handler has no SA_RESTART), so
// every call here that can be interrupted is made again after EINTR.
namespace Tavix::Fuzzing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPortPatience = std::chrono::seconds(1);

// The original stderr, kept before libFuzzer sends fd 2 to /dev/null.
int report_fd = STDERR_FILENO;

void Fail(const char* what) {
  const std::string line = std::string("fuzz check failed: ") + what + "\n";
  (void)!write(report_fd, line.data(), line.size());
  std::abort();
}

}  // namespace

FuzzPort::FuzzPort() {
  char name[256] = {};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) Fail("openpty");
  path_ = name;
  termios raw{};
  tcgetattr(slave_, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave_, TCSANOW, &raw);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  stream_ = std::make_unique<HardwareAPI::IO::SerialStream>(path_.c_str());
  if (!stream_->IsOpen()) Fail("the library could not open the pseudo-terminal");
}

FuzzPort::~FuzzPort() {
  stream_.reset();
  close(master_);
  close(slave_);
}

void FuzzPort::Send(const Bytes& bytes) {
  const auto deadline = Clock::now() + kPortPatience;
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = write(master_, bytes.data() + sent, bytes.size() - sent);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if ((errno == EAGAIN || errno == EINTR) && Clock::now() < deadline) {
      pollfd out{master_, POLLOUT, 0};
      poll(&out, 1, 1);
    } else {
      Fail("writing the input to the pseudo-terminal");
    }
  }
  // The terminal layer hands bytes to the slave side a moment after the write.
  while (QueuedTowardsLibrary() < static_cast<int>(bytes.size())) {
    if (Clock::now() > deadline) Fail("the input never reached the library's side");
    std::this_thread::yield();
  }
}

int FuzzPort::QueuedTowardsLibrary() const {
  for (;;) {
    int count = 0;
    if (ioctl(slave_, FIONREAD, &count) == 0) return count;
    if (errno != EINTR) return -1;
  }
}

Bytes FuzzPort::Receive(std::size_t count) {
  const auto deadline = Clock::now() + kPortPatience;
  Bytes received;
  uint8_t chunk[256];
  while (received.size() < count) {
    const ssize_t n = read(master_, chunk, std::min(sizeof chunk, count - received.size()));
    if (n > 0) {
      received.insert(received.end(), chunk, chunk + n);
      continue;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd in{master_, POLLIN, 0};
    poll(&in, 1, static_cast<int>(left.count()));
  }
  return received;
}

void FuzzPort::Reset() {
  uint8_t chunk[256];
  ssize_t n;
  do {
    n = read(master_, chunk, sizeof chunk);
  } while (n > 0 || (n < 0 && errno == EINTR));
  while (tcflush(slave_, TCIFLUSH) != 0 && errno == EINTR) {
  }
  stream_->clear();
}

Bytes Input(const uint8_t* data, std::size_t size) {
  return Bytes(data, data + std::min(size, kMaxInputLength));
}

void QuietLibraryLog(int* argc, char*** argv) {
  report_fd = dup(STDERR_FILENO);
  if (std::getenv("TAVIX_FUZZ_LOG") != nullptr) return;
  static char close_stderr[] = "-close_fd_mask=2";
  static std::vector<char*> arguments;
  arguments.assign(*argv, *argv + *argc);
  // Right after the program name, so that a -close_fd_mask given by hand still wins.
  arguments.insert(arguments.begin() + 1, close_stderr);
  *argc = static_cast<int>(arguments.size());
  arguments.push_back(nullptr);
  *argv = arguments.data();
}

void Require(bool condition, const char* what) {
  if (!condition) Fail(what);
}

bool SameBits(const void* a, const void* b, std::size_t size) { return std::memcmp(a, b, size) == 0; }

}  // namespace Tavix::Fuzzing
