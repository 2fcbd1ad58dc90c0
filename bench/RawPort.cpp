#include "RawPort.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

#include "ArmMessages.h"

namespace Tavix::Bench {
namespace {

constexpr int kReplyTimeoutMs = 1000;

// The line settings of Library/src/SerialStream.cpp.
void ConfigureRawLine(int fd) {
  termios settings{};
  cfsetispeed(&settings, B115200);
  cfsetospeed(&settings, B115200);
  settings.c_iflag = IGNBRK | IGNPAR;
  settings.c_cflag |= CS8 | CREAD | CLOCAL;
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &settings);
}

}  // namespace

RawPort::RawPort(const std::string& path)
    : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
  if (fd_ < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  ConfigureRawLine(fd_);
}

RawPort::~RawPort() { ::close(fd_); }

bool RawPort::Exchange(const uint8_t* request, std::size_t request_length, uint8_t* reply,
                       std::size_t reply_length) {
  if (::write(fd_, request, request_length) != static_cast<ssize_t>(request_length)) return false;
  std::size_t got = 0;
  while (got < reply_length) {
    pollfd watch{fd_, POLLIN, 0};
    if (poll(&watch, 1, kReplyTimeoutMs) <= 0 || (watch.revents & POLLIN) == 0) return false;
    const ssize_t n = ::read(fd_, reply + got, reply_length - got);
    if (n > 0) got += static_cast<std::size_t>(n);
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
  }
  return true;
}

void ExchangeZeroForce(RawPort& port) {
  std::array<uint8_t, kStateReplyLength> reply{};
  if (!port.Exchange(kZeroForceRequest.data(), kZeroForceRequest.size(), reply.data(), reply.size())) {
    throw std::runtime_error("a raw exchange failed");
  }
}

}  // namespace Tavix::Bench
