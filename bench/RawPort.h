#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Tavix::Bench {

/// A serial port opened as the library opens one (O_NONBLOCK, raw 8N1 at 115200 baud,
/// VMIN = VTIME = 0) and driven with nothing but write(2), poll(2) and read(2): the
/// fastest exchange the machine allows, against which the library is measured.
class RawPort {
 public:
  /// Opens `path`. Throws std::runtime_error if it cannot be opened.
  explicit RawPort(const std::string& path);
  ~RawPort();

  RawPort(const RawPort&) = delete;
  RawPort& operator=(const RawPort&) = delete;

  /// Writes `request` in one write(2), then reads exactly `reply_length` bytes into
  /// `reply`, blocking in poll(2) while none are waiting. False on a failure or when
  /// nothing arrives for a second.
  bool Exchange(const uint8_t* request, std::size_t request_length, uint8_t* reply,
                std::size_t reply_length);

 private:
  int fd_ = -1;
};

/// The end-effector force exchange over `port`: a zero force request out, the state
/// reply in. Throws std::runtime_error when it fails.
void ExchangeZeroForce(RawPort& port);

}  // namespace Tavix::Bench
