#include "RawPort.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

#include "ArmMessages.h"

namespace Tavix::Bench {
namespace {

constexpr int kReplyTimeoutMs = 1000;

int OpenDescriptorOf(const HardwareAPI::IO::SerialStream& stream) {
  if (!stream.IsOpen()) throw std::runtime_error("cannot open " + stream.PortPath() + ": " + std::strerror(errno));
  return stream.Descriptor();
}

}  // namespace

RawPort::RawPort(const std::string& path)
    : own_stream_(std::make_unique<HardwareAPI::IO::SerialStream>(path.c_str())),
      fd_(OpenDescriptorOf(*own_stream_)) {}

RawPort::RawPort(const HardwareAPI::IO::SerialStream& stream) : fd_(OpenDescriptorOf(stream)) {}

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
