#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "Tavix/HardwareAPI/IO/SerialStream.h"

namespace Tavix::Bench {

/// A serial port opened and configured by the library (a SerialStream) and driven with
/// nothing but write(2), poll(2) and read(2) on its descriptor: the fastest exchange the
/// machine allows, against which the library is measured.
class RawPort {
 public:
  /// Opens `path` with a stream of its own. Throws std::runtime_error if it cannot be opened.
  explicit RawPort(const std::string& path);
  /// Uses the port of `stream`, which must stay open while the raw port is used; a
  /// device on the stream and the raw port can then take turns on one port. Throws
  /// std::runtime_error if the stream has no open port.
  explicit RawPort(const HardwareAPI::IO::SerialStream& stream);

  /// Writes `request` in one write(2), then reads exactly `reply_length` bytes into
  /// `reply`, blocking in poll(2) while none are waiting. False on a failure or when
  /// nothing arrives for a second.
  bool Exchange(const uint8_t* request, std::size_t request_length, uint8_t* reply,
                std::size_t reply_length);

 private:
  std::unique_ptr<HardwareAPI::IO::SerialStream> own_stream_;
  int fd_ = -1;
};

/// The end-effector force exchange over `port`: a zero force request out, the state
/// reply in. Throws std::runtime_error when it fails.
void ExchangeZeroForce(RawPort& port);

}  // namespace Tavix::Bench
