#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <system_error>

#include "Tavix/HardwareAPI/Devices/DeviceError.h"
#include "Tavix/HardwareAPI/IO/Port.h"
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
/// These failure values look like data, so every operation also leaves its outcome,
/// which `LastError()` reads: empty after a success, otherwise why it failed.
///
/// On an `IO::Port` a device fails fast; elsewhere it behaves as described above:
///   - every operation takes the port's time-out (`timeout` is set from it);
///   - on a closed port an operation fails at once with EBADF, sending nothing;
///   - while a servo loop drives the arm on the port (`IO::Port::Driven`), the port is
///     the loop's: an operation of any device but the loop's own fails at once with
///     `std::errc::device_or_resource_busy`, sending and reading nothing, and returns
///     the failure values it returns for any other failure;
///   - an operation stops at its first failure: nothing further is sent or read, so
///     one time-out costs one wait, not two;
///   - after a wrong header code the device's bytes are dropped until the line has been
///     quiet for `kQuietSpell` (at most `timeout`), instead of a wait for 1024 bytes;
///   - a reply is waited for once: its header codes and its payload share one time-out;
///   - a late reply is not taken for the reply to a later request. Every arm request
///     has one reply of known length, so when a read gives up on a reply (a time-out),
///     the port remembers how many of its bytes are still owed, for every device on it
///     (so does a servo loop for the reply to its last zero force). An exchange that
///     sends a request and reads its reply (the arm's combined operations) first waits
///     for them, up to twice the time-out, and drops them with whatever else arrived
///     before its request; a reply that has not come by then (three time-outs after its
///     request) is taken as lost, and the request goes out all the same. A read on its
///     own (after a separate send) first drops what is owed within its own time-out,
///     and fails when it does not all come. Owed bytes are forgotten `kLateReplyLimit`
///     after the read that gave up on them. So a device that answers later than the
///     time-out (but within three) makes every exchange fail, none succeeding on an
///     earlier request's reply, and one that drops a reply costs the next exchange a
///     wait of two time-outs. A wrong header code forgets nothing that is owed and owes
///     nothing more: its reply is dropped as described above;
///   - the log lines are the same (a time-out while dropping owed bytes is logged as a
///     header time-out).
///
/// Waits sleep in the kernel (poll(2), epoll(7)) and cost no CPU. Not thread-safe: one thread at a time.
class Device {
 public:
  static constexpr std::size_t kBufferSize = 1024;   ///< size of each message buffer
  static constexpr float kDefaultTimeout = 5.0f;     ///< seconds
  /// On a Port: how long the line must stay silent before a wrong reply counts as over.
  static constexpr std::chrono::milliseconds kQuietSpell{5};
  /// On a Port: how long after a read gave up on a reply its bytes are still expected.
  static constexpr std::chrono::seconds kLateReplyLimit{1};

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

  /// The outcome of the last operation: of any public operation of the device classes
  /// (these reads and sends included), and of an operation made of others (a command
  /// and its reply) as a whole. Empty after a success; otherwise the first failure the
  /// operation met, which a later failure of the same operation never replaces:
  ///   - `std::system_category()`, the errno of the failing call: the port failed, hung
  ///     up (EIO), is closed (EBADF; also for a never-opened stream that was written to),
  ///     or a write did not go out whole (EIO when the call set no errno);
  ///   - `DeviceErrc::timed_out` (equivalent to std::errc::timed_out): the reply, or part
  ///     of it, did not arrive within `timeout`;
  ///   - `DeviceErrc::wrong_header`, `DeviceErrc::malformed_reply` (equivalent to
  ///     std::errc::protocol_error): the reply is not the one the operation expects;
  ///   - `std::errc::invalid_argument`: `ReadBytes` was asked for more than kBufferSize;
///   - `std::errc::device_or_resource_busy` (`std::generic_category()`): on a Port that a
///     servo loop drives; nothing was sent or read.
  /// A code 0 returned by `ReadHeaderCode` with an empty outcome was received.
  std::error_code LastError() const noexcept { return last_error_; }

  float timeout = kDefaultTimeout;  ///< reply time-out in seconds; 0 or less: no limit
  IO::SerialStream* const stream;   ///< borrowed, never null
  const std::unique_ptr<uint8_t[]> send_buffer;     ///< outgoing message, kBufferSize bytes
  const std::unique_ptr<uint8_t[]> receive_buffer;  ///< incoming payload, kBufferSize bytes

 protected:
  /// Marks the run of one public operation. The outermost of nested operations (a
  /// command calls its send and its read) starts a fresh outcome and, on a Port, fails
  /// at once when a servo loop drives the arm through another device
  /// (device_or_resource_busy), or takes the port's time-out and fails at once (EBADF)
  /// when the port is closed. On a Port the operation then sends and reads nothing. An
  /// operation admitted on a Port is counted as under way until it ends: a loop that
  /// starts on the port waits for it.
  class Operation {
   public:
    explicit Operation(Device& device) noexcept;
    ~Operation();
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

   private:
    Device& device_;
    bool counted_ = false;  ///< the port counts it as under way (see `IO::Port::Driven`)
  };

  /// Records `error` as the outcome of the running operation, unless it already failed.
  void Fail(std::error_code error) noexcept;
  /// True once the running operation has failed.
  bool Failed() const noexcept { return static_cast<bool>(last_error_); }
  /// True when the stream is an `IO::Port`: the device fails fast.
  bool OnPort() const noexcept { return port_ != nullptr; }

  /// Reads a reply made of the header codes `header` (each read, each with its own
  /// time-out) and then `payload_length` bytes into `receive_buffer`. When a code does
  /// not match, does one discard read of `kBufferSize` bytes, then drops whatever is
  /// still queued on the stream (`SerialStream::DiscardInput`), and returns false; when
  /// the payload comes up short, returns false without a discard. On a Port, see the
  /// class comment: `DropFailedReply` replaces the discard read.
  bool ReadReply(std::initializer_list<uint8_t> header, std::size_t payload_length);

  /// On a Port, before a request whose reply the same operation reads: drops what
  /// arrived before it (only as much as earlier replies still owe, while they owe
  /// something). Does nothing on other streams.
  void DropStaleInput();

  /// On a Port, after a failed read: drops what the device sends until the line has
  /// been quiet for `kQuietSpell` (at most `timeout`) when a wrong header code arrived,
  /// otherwise drops only what is queued now. Does nothing on other streams, nor after a
  /// refusal (device_or_resource_busy: the port's input is the servo loop's).
  void DropFailedReply();

 private:
  /// The port's record of the bytes that replies still owe (on a Port only).
  IO::OwedReplies& Owed() noexcept;
  bool ReadReplyOnPort(std::initializer_list<uint8_t> header, std::size_t payload_length);
  /// Reads and drops `count` bytes that earlier replies owe, paying them, by `deadline`.
  /// On a failure, or a time-out when `timing_out_fails`, records it, logs it as a header
  /// read does, and returns false; a time-out that does not fail returns true.
  bool DropOwedBytes(std::size_t count, const IO::Deadline& deadline, bool timing_out_fails);
  /// After a read on a Port gave up on a reply: remembers its `missing` bytes as owed.
  void Owe(std::size_t missing);
  /// The deadline of the wait of a header or payload read.
  IO::Deadline ReadDeadline() const noexcept;
  void ReadStateReply(uint8_t code, Vector3& first, Vector3& second);
  /// True on a Port once the running operation has failed: nothing more is sent or read.
  bool Stopped() const noexcept { return port_ != nullptr && Failed(); }
  /// The errno `error` set by a failed read or write as an outcome; when the call set
  /// none, EBADF on a stream without an open port and EIO on one with.
  std::error_code StreamError(int error) const noexcept;
  void DropUntilQuiet();

  IO::Port* const port_;  ///< `stream` when it is a Port, else null
  std::error_code last_error_;
  int operation_depth_ = 0;
  const IO::Deadline* reply_deadline_ = nullptr;  ///< on a Port, while a reply is read
};

}  // namespace Tavix::HardwareAPI::Devices
