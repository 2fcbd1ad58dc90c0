#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>

#include "Tavix/HardwareAPI/IO/SerialStream.h"
#include "Tavix/HardwareAPI/Vector3.h"

namespace Tavix::HardwareAPI::Devices {

/// Common base of the device classes: the stream a device talks through, its reply
/// time-out and its two message buffers, with the message-level reads and writes every
/// device operation is built from.
///
/// A message from a device is one header-code byte followed by a payload whose layout
/// the code and the reading operation fix. A message to a device is built in
/// `send_buffer` (code first, payload from offset 1) and sent as its first bytes.
///
/// Failures are reported by return values, never by exceptions: the reads return 0 and
/// print one line on stderr of the form
/// "[err] Library/src/Device:<line>> <message>: [errno] <strerror>":
///   58  "timeout waiting for header code"           nothing arrived for a header code
///   87  "timeout waiting for header code"           the payload did not arrive in time
///   75  "unable to read header code from stream"    the stream or port failed
///   97  "unable to read '<n>' bytes from stream"    the stream or port failed
/// A read that ends with end-of-file on the stream returns 0 silently. A port that
/// hangs up ends the wait at once as a stream failure.
///
/// Waits sleep in the kernel (poll(2), epoll(7)) and cost no CPU. Not thread-safe: one thread at a time.
class Device {
 public:
  static constexpr std::size_t kBufferSize = 1024;   ///< size of each message buffer
  static constexpr float kDefaultTimeout = 5.0f;     ///< seconds

  /// Borrows `stream`, which must outlive the device. Allocates both buffers, zeroed.
  /// Throws std::invalid_argument if `stream` is null.
  explicit Device(IO::SerialStream* stream);

  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  /// Waits for one byte and returns it (0 to 255); 0 on time-out or stream failure,
  /// which a received code 0 cannot be told apart from. The byte also lands in
  /// `receive_buffer[0]`.
  int ReadHeaderCode();

  /// Waits until `count` bytes are in the driver's queue, then reads them to the start
  /// of `receive_buffer` and returns `count`. Returns 0 on time-out or stream failure
  /// (the bytes that did arrive stay queued), for `count` 0, and for a `count` above
  /// `kBufferSize` (then without waiting and without touching the buffer).
  int ReadBytes(std::size_t count);

  /// Writes `send_buffer[0 .. length-1]` through the stream; failures are logged there.
  /// Throws std::invalid_argument if `length` exceeds `kBufferSize`.
  void SendMessage(std::size_t length);

  /// Sends `code` followed by `count` little-endian binary32 values (1 + 4 x count
  /// bytes in one write). Throws std::invalid_argument unless 0 <= count <= 255, or if
  /// `values` is null while `count` is above 0.
  void SendCodeAndFloats(uint8_t code, const float* values, const int& count);

  /// Reads the end-effector state reply (code 0x2B, 24 bytes: position then velocity).
  /// On a wrong header waits for up to 1024 bytes (in practice: waits out the time-out,
  /// logging the line-87 time-out) and then drops every byte received and not yet read;
  /// on any failure both outputs keep their values.
  void ReadEndEffectorState(Vector3& position, Vector3& velocity);

  /// Reads the joint state reply (code 0x1B, 24 bytes: angles then angular velocities),
  /// with the same failure rules as `ReadEndEffectorState`.
  void ReadJointState(Vector3& angles, Vector3& angular_velocities);

  float timeout = kDefaultTimeout;  ///< reply time-out in seconds; 0 or less: no limit
  IO::SerialStream* const stream;   ///< borrowed, never null
  const std::unique_ptr<uint8_t[]> send_buffer;     ///< outgoing message, kBufferSize bytes
  const std::unique_ptr<uint8_t[]> receive_buffer;  ///< incoming payload, kBufferSize bytes

 protected:
  /// Reads a reply made of the header codes `header` (each read, each with its own
  /// time-out) and then `payload_length` bytes into `receive_buffer`. When a code does
  /// not match, does one discard read of `kBufferSize` bytes, then drops whatever is
  /// still queued on the stream (`SerialStream::DiscardInput`), and returns false; when
  /// the payload comes up short, returns false without a discard.
  bool ReadReply(std::initializer_list<uint8_t> header, std::size_t payload_length);

 private:
  void ReadStateReply(uint8_t code, Vector3& first, Vector3& second);
};

}  // namespace Tavix::HardwareAPI::Devices
