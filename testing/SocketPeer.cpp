#include "SocketPeer.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

#include "IO/PortWait.h"

namespace Tavix::Testing {
namespace {

using HardwareAPI::IO::Deadline;
using HardwareAPI::IO::WaitStatus;

[[noreturn]] void ThrowSystemError(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// Reads what `fd` has, up to `count` bytes, without waiting; restarts after signals.
Bytes ReadWaiting(int fd, std::size_t count) {
  Bytes bytes(count);
  std::size_t got = 0;
  while (got < count) {
    const ssize_t n = read(fd, bytes.data() + got, count - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  bytes.resize(got);
  return bytes;
}

void DropWaiting(int fd) {
  while (!ReadWaiting(fd, 4096).empty()) {
  }
}

}  // namespace

// A stream on an end of the socket pair. A socket is no terminal, so dropping the input
// is reading it away rather than tcflush(3).
class SocketPeer::AdoptedStream : public HardwareAPI::IO::SerialStream {
 public:
  explicit AdoptedStream(int fd) : SerialStream(nullptr, false) { Adopt(fd); }

  void DiscardInput() override {
    SerialStream::DiscardInput();
    DropWaiting(Descriptor());
  }

  // Everything the test sends is queued before the library reads, so what is missing
  // now never comes.
  WaitStatus WaitForBytes(std::size_t count, const Deadline&) override {
    return SerialStream::WaitForBytes(count, Deadline::In(-std::chrono::nanoseconds(1)));
  }
};

SocketPeer::SocketPeer() {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) != 0) {
    ThrowSystemError("cannot make a socket pair");
  }
  device_fd_.Reset(ends[0]);
  library_fd_ = ends[1];
  stream_ = std::make_unique<AdoptedStream>(library_fd_);
}

// Here, where the stream's class is complete.
SocketPeer::~SocketPeer() = default;

HardwareAPI::IO::SerialStream& SocketPeer::Stream() { return *stream_; }

void SocketPeer::Send(const Bytes& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = write(device_fd_.Get(), bytes.data() + sent, bytes.size() - sent);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (errno != EINTR) {
      ThrowSystemError("cannot queue bytes for the library");
    }
  }
}

int SocketPeer::QueuedTowardsLibrary() const { return HardwareAPI::IO::QueuedBytes(library_fd_); }

Bytes SocketPeer::Receive(std::size_t count) { return ReadWaiting(device_fd_.Get(), count); }

void SocketPeer::Reset() {
  DropWaiting(device_fd_.Get());
  stream_->DiscardInput();
  stream_->clear();
}

}  // namespace Tavix::Testing
