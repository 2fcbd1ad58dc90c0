#include "Tavix/HardwareAPI/Devices/Device.h"

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "ArmProtocol.h"
#include "ErrorLog.h"
#include "IO/OwedReplies.h"
#include "WireFormat.h"

namespace Tavix::HardwareAPI::Devices {
namespace {

constexpr const char* kLogSource = "Library/src/Device";
constexpr unsigned kHeaderTimeoutLine = 58;
constexpr unsigned kHeaderReadFailureLine = 75;
constexpr unsigned kPayloadTimeoutLine = 87;
constexpr unsigned kPayloadReadFailureLine = 97;

constexpr int kMaxFloatCount = 255;

IO::SerialStream* RequireStream(IO::SerialStream* stream) {
  if (stream == nullptr) {
    throw std::invalid_argument("a device needs a SerialStream, but the stream given is null");
  }
  return stream;
}

std::unique_ptr<uint8_t[]> NewZeroedBuffer() {
  return std::make_unique<uint8_t[]>(Device::kBufferSize);
}

// Runs `call` and returns the errno it set, 0 if it set none. In that case errno keeps
// the value it had before, so a log line written afterwards prints what it always did.
template <typename Call>
int ErrnoSetBy(Call&& call) {
  const int before = errno;
  errno = 0;
  call();
  const int set = errno;
  if (set == 0) errno = before;
  return set;
}

// The failure of `stream` whose call set `error` (0: none set, then EIO for an open
// stream and EBADF for one that is not).
std::error_code StreamErrorOf(const IO::SerialStream& stream, int error) noexcept {
  if (error == 0) error = stream.IsOpen() ? EIO : EBADF;
  return std::error_code(error, std::system_category());
}

// How a wait for bytes and their read ended.
enum class ReadOutcome { Read, TimedOut, Failed, EndOfStream };

// Waits until `deadline` for `count` bytes on `stream` and reads them into `buffer`.
// Unless they were read, `error` tells why (for Failed and EndOfStream).
ReadOutcome WaitAndRead(IO::SerialStream& stream, uint8_t* buffer, std::size_t count, const IO::Deadline& deadline,
                        std::error_code& error) {
  IO::WaitStatus status = IO::WaitStatus::Failed;
  const int wait_error = ErrnoSetBy([&] { status = stream.WaitForBytes(count, deadline); });
  switch (status) {
    case IO::WaitStatus::Ready:
      break;
    case IO::WaitStatus::TimedOut:
      return ReadOutcome::TimedOut;
    case IO::WaitStatus::Failed:
      error = StreamErrorOf(stream, wait_error);
      return ReadOutcome::Failed;
  }
  const int read_error = ErrnoSetBy([&] {
    stream.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(count));
  });
  if (stream.good()) return ReadOutcome::Read;
  error = StreamErrorOf(stream, read_error);
  return stream.eof() ? ReadOutcome::EndOfStream : ReadOutcome::Failed;
}

// Hands the failure of a wait and read that did not read (`outcome`, with the `error`
// WaitAndRead gave) to `fail`, a callable taking a std::error_code, and then logs it: a
// time-out at `timeout_line`, a failed wait or read with `log_failure` (a read that met
// the end of the stream is not logged).
template <typename Fail, typename LogFailure>
void ReportReadFailure(ReadOutcome outcome, std::error_code error, unsigned timeout_line, Fail&& fail,
                       LogFailure&& log_failure) {
  if (outcome == ReadOutcome::TimedOut) {
    fail(DeviceErrc::timed_out);
    LogError(kLogSource, timeout_line, "timeout waiting for header code");
    return;
  }
  fail(error);
  if (outcome == ReadOutcome::Failed) log_failure();
}

// WaitAndRead, whose failure is reported by ReportReadFailure. True when read.
template <typename Fail, typename LogFailure>
bool WaitAndRead(IO::SerialStream& stream, uint8_t* buffer, std::size_t count, const IO::Deadline& deadline,
                 unsigned timeout_line, Fail&& fail, LogFailure&& log_failure) {
  std::error_code error;
  const ReadOutcome outcome = WaitAndRead(stream, buffer, count, deadline, error);
  if (outcome == ReadOutcome::Read) return true;
  ReportReadFailure(outcome, error, timeout_line, fail, log_failure);
  return false;
}

void LogHeaderReadFailure() {
  LogError(kLogSource, kHeaderReadFailureLine, "unable to read header code from stream");
}

// Bytes read at a time when bytes owed by earlier replies are dropped.
constexpr std::size_t kDropChunk = 64;

}  // namespace

Device::Operation::Operation(Device& device) noexcept : device_(device) {
  if (device_.operation_depth_++ > 0) return;
  device_.last_error_.clear();
  if (device_.port_ == nullptr) return;
  // A servo loop that drives the arm owns the port: the operation fails before it
  // touches the port, and, stopped, sends and reads nothing.
  if (!device_.port_->Admit(device_, counted_)) {
    device_.Fail(std::make_error_code(std::errc::device_or_resource_busy));
    return;
  }
  device_.timeout = static_cast<float>(device_.port_->Timeout());
  if (!device_.port_->IsOpen()) device_.Fail(std::error_code(EBADF, std::system_category()));
}

Device::Operation::~Operation() {
  --device_.operation_depth_;
  if (counted_) device_.port_->Leave();
}

Device::Device(IO::SerialStream* stream)
    : stream(RequireStream(stream)),
      send_buffer(NewZeroedBuffer()),
      receive_buffer(NewZeroedBuffer()),
      port_(dynamic_cast<IO::Port*>(stream)) {}

void Device::Fail(std::error_code error) noexcept {
  if (!last_error_) last_error_ = error;
}

std::error_code Device::StreamError(int error) const noexcept { return StreamErrorOf(*stream, error); }

int Device::ReadHeaderCode() {
  const Operation operation(*this);
  if (Stopped()) return 0;
  const auto fail = [this](std::error_code error) { Fail(error); };
  if (!WaitAndRead(*stream, receive_buffer.get(), 1, ReadDeadline(), kHeaderTimeoutLine, fail, LogHeaderReadFailure)) {
    return 0;
  }
  return receive_buffer[0];
}

int Device::ReadBytes(std::size_t count) {
  const Operation operation(*this);
  if (count > kBufferSize) Fail(std::make_error_code(std::errc::invalid_argument));
  if (count == 0 || count > kBufferSize || Stopped()) return 0;
  const auto fail = [this](std::error_code error) { Fail(error); };
  const auto log_failure = [count] {
    LogError(kLogSource, kPayloadReadFailureLine, "unable to read '%zu' bytes from stream", count);
  };
  if (!WaitAndRead(*stream, receive_buffer.get(), count, ReadDeadline(), kPayloadTimeoutLine, fail, log_failure)) {
    return 0;
  }
  return static_cast<int>(stream->gcount());
}

void Device::SendMessage(std::size_t length) {
  if (length > kBufferSize) {
    throw std::invalid_argument("a message is at most 1024 bytes long");
  }
  const Operation operation(*this);
  if (Stopped()) return;
  // The stream reports a failed write only by its state (and a log line); one that an
  // earlier read's end-of-file stopped sends nothing, silently, and fails too. A stream
  // that cannot write makes no system call: errno is left alone then, because the log
  // line shows it (after a failed open, the open's errno).
  int write_error = 0;
  if (stream->good() && stream->IsOpen()) {
    write_error = ErrnoSetBy([&] { stream->Write(send_buffer.get(), length); });
  } else {
    stream->Write(send_buffer.get(), length);
  }
  if (!stream->good()) Fail(StreamError(write_error));
}

void Device::SendCodeAndFloats(uint8_t code, const float* values, const int& count) {
  if (count < 0 || count > kMaxFloatCount) {
    throw std::invalid_argument("SendCodeAndFloats sends between 0 and 255 floats");
  }
  if (count > 0 && values == nullptr) {
    throw std::invalid_argument("SendCodeAndFloats was given no values to send");
  }
  const Operation operation(*this);
  send_buffer[0] = code;
  for (int i = 0; i < count; ++i) Wire::Store(&send_buffer[1 + 4 * i], values[i]);
  SendMessage(1 + 4 * static_cast<std::size_t>(count));
}

void Device::ReadEndEffectorState(Vector3& position, Vector3& velocity) {
  const Operation operation(*this);
  ReadStateReply(ArmProtocol::kEndEffectorStateCode, position, velocity);
}

void Device::ReadJointState(Vector3& angles, Vector3& angular_velocities) {
  const Operation operation(*this);
  ReadStateReply(ArmProtocol::kJointStateCode, angles, angular_velocities);
}

bool Device::ReadReply(std::initializer_list<uint8_t> header, std::size_t payload_length) {
  if (OnPort()) return ReadReplyOnPort(header, payload_length);
  bool header_matches = true;
  for (const uint8_t code : header) {
    const bool code_matches = ReadHeaderCode() == code;  // every code is read, match or not
    // A code read as 0 after a time-out or a port failure keeps that as the outcome.
    if (!code_matches) Fail(DeviceErrc::wrong_header);
    header_matches = header_matches && code_matches;
  }
  if (!header_matches) {
    // Wait for the rest of the unexpected reply (in practice until the time-out), then
    // drop all that is queued, so that the next exchange reads its own reply and not
    // the leftovers of this one.
    ReadBytes(kBufferSize);
    stream->DiscardInput();
    return false;
  }
  return ReadBytes(payload_length) == static_cast<int>(payload_length);
}

// One time-out for the whole reply: what earlier replies still owe, the header codes and
// the payload. A reply given up on for want of time is owed, never dropped: what of it
// arrives later belongs to it, not to the next reply.
bool Device::ReadReplyOnPort(std::initializer_list<uint8_t> header, std::size_t payload_length) {
  const std::size_t length = header.size() + payload_length;
  const IO::Deadline deadline = IO::Deadline::InSeconds(timeout);
  reply_deadline_ = &deadline;
  struct Restore {
    const IO::Deadline*& deadline;
    ~Restore() { deadline = nullptr; }
  } restore{reply_deadline_};

  if (Stopped()) return false;
  if (!Owed().Empty()) {
    Owed().ForgetExpired(IO::OwedReplies::Clock::now());
    if (!DropOwedBytes(Owed().Bytes(), deadline, true)) {
      if (last_error_ == DeviceErrc::timed_out) Owe(length);
      return false;
    }
  }
  std::size_t received = 0;  // bytes of this reply read
  for (const uint8_t code : header) {
    const int got = ReadHeaderCode();
    if (Failed()) break;
    ++received;
    if (got != code) Fail(DeviceErrc::wrong_header);
    if (Failed()) break;
  }
  if (!Failed() && ReadBytes(payload_length) == static_cast<int>(payload_length)) return true;
  if (last_error_ == DeviceErrc::timed_out) {
    // After the header the payload came up short: what did arrive (ReadBytes left it
    // queued) is dropped, the rest is owed.
    std::size_t arrived = 0;
    if (received == header.size()) {
      arrived = std::min(static_cast<std::size_t>(stream->Available()), payload_length);
      uint8_t scratch[kDropChunk];
      for (std::size_t left = arrived; left > 0;) {
        const std::size_t count = std::min(left, sizeof scratch);
        std::error_code error;
        if (WaitAndRead(*stream, scratch, count, deadline, error) != ReadOutcome::Read) {
          Owed().Clear();  // the port failed: nothing more will come
          return false;
        }
        left -= count;
      }
    }
    Owe(length - received - arrived);
    return false;
  }
  if (last_error_ != DeviceErrc::wrong_header) Owed().Clear();  // the port failed
  DropFailedReply();
  return false;
}

bool Device::DropOwedBytes(std::size_t count, const IO::Deadline& deadline, bool timing_out_fails) {
  uint8_t scratch[kDropChunk];
  while (count > 0) {
    // At least one byte is waited for; as many as have come are read.
    const std::size_t queued = static_cast<std::size_t>(std::max(stream->Available(), 1));
    const std::size_t chunk = std::min({count, queued, sizeof scratch});
    std::error_code error;
    const ReadOutcome outcome = WaitAndRead(*stream, scratch, chunk, deadline, error);
    if (outcome == ReadOutcome::Read) {
      Owed().Pay(chunk);
      count -= chunk;
      continue;
    }
    const bool timed_out = outcome == ReadOutcome::TimedOut;
    if (timed_out && !timing_out_fails) return true;
    const auto fail = [this](std::error_code failure) { Fail(failure); };
    ReportReadFailure(outcome, error, kHeaderTimeoutLine, fail, LogHeaderReadFailure);
    // Bytes that did not come in time are still owed; a port that failed owes nothing more.
    if (!timed_out) Owed().Clear();
    return false;
  }
  return true;
}

IO::OwedReplies& Device::Owed() noexcept { return *port_->owed_; }

void Device::Owe(std::size_t missing) {
  if (missing > 0) Owed().Add(missing, IO::OwedReplies::Clock::now() + kLateReplyLimit);
}

IO::Deadline Device::ReadDeadline() const noexcept {
  return reply_deadline_ != nullptr ? *reply_deadline_ : IO::Deadline::InSeconds(timeout);
}

// Before a request nothing can be on its way for it: what arrives now belongs to earlier
// replies. The rest of one given up on is waited for, up to twice the time-out, and
// dropped as it comes; one that has not come by then is taken as lost, so that a reply
// the device never sent costs one wait and not every later exchange. Bytes beyond what
// is owed are stray, and dropped.
void Device::DropStaleInput() {
  if (!OnPort() || Stopped()) return;
  if (!Owed().Empty()) {
    Owed().ForgetExpired(IO::OwedReplies::Clock::now());
    const IO::Deadline grace =
        timeout > 0.0f ? IO::Deadline::InSeconds(2.0 * timeout) : IO::Deadline::In(kLateReplyLimit);
    if (!Owed().Empty() && !DropOwedBytes(Owed().Bytes(), grace, false)) return;
    Owed().Clear();
  }
  stream->DiscardInput();
}

void Device::DropFailedReply() {
  // A refused operation drops nothing: the port's input is the servo loop's.
  if (!OnPort() || last_error_ == std::make_error_code(std::errc::device_or_resource_busy)) return;
  if (last_error_ == DeviceErrc::wrong_header) DropUntilQuiet();
  stream->DiscardInput();
}

// A wrong reply is dropped as it comes in, until the device has said nothing for a
// quiet spell; a device that never stops talking is given up on after the time-out.
void Device::DropUntilQuiet() {
  const IO::Deadline give_up = IO::Deadline::InSeconds(timeout);
  for (;;) {
    stream->DiscardInput();
    const auto spell = std::min<IO::Deadline::Clock::duration>(kQuietSpell, give_up.Remaining());
    if (stream->WaitForBytes(1, IO::Deadline::In(spell)) != IO::WaitStatus::Ready) return;
    if (give_up.Expired()) return;
  }
}

void Device::ReadStateReply(uint8_t code, Vector3& first, Vector3& second) {
  if (!ReadReply({code}, ArmProtocol::kStatePayloadLength)) return;
  for (std::size_t k = 0; k < 3; ++k) {
    first[k] = Wire::Load<float>(&receive_buffer[4 * k]);
    second[k] = Wire::Load<float>(&receive_buffer[12 + 4 * k]);
  }
}

}  // namespace Tavix::HardwareAPI::Devices
