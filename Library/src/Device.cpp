#include "Tavix/HardwareAPI/Devices/Device.h"

#include <stdexcept>

#include "ArmProtocol.h"
#include "ErrorLog.h"
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

}  // namespace

Device::Device(IO::SerialStream* stream)
    : stream(RequireStream(stream)),
      send_buffer(NewZeroedBuffer()),
      receive_buffer(NewZeroedBuffer()) {}

int Device::ReadHeaderCode() {
  switch (stream->WaitForBytes(1, IO::Deadline::InSeconds(timeout))) {
    case IO::WaitStatus::Ready:
      break;
    case IO::WaitStatus::TimedOut:
      LogError(kLogSource, kHeaderTimeoutLine, "timeout waiting for header code");
      return 0;
    case IO::WaitStatus::Failed:
      LogError(kLogSource, kHeaderReadFailureLine, "unable to read header code from stream");
      return 0;
  }
  stream->read(reinterpret_cast<char*>(receive_buffer.get()), 1);
  if (stream->good()) return receive_buffer[0];
  if (!stream->eof()) {
    LogError(kLogSource, kHeaderReadFailureLine, "unable to read header code from stream");
  }
  return 0;
}

int Device::ReadBytes(std::size_t count) {
  if (count == 0 || count > kBufferSize) return 0;
  switch (stream->WaitForBytes(count, IO::Deadline::InSeconds(timeout))) {
    case IO::WaitStatus::Ready:
      break;
    case IO::WaitStatus::TimedOut:
      LogError(kLogSource, kPayloadTimeoutLine, "timeout waiting for header code");
      return 0;
    case IO::WaitStatus::Failed:
      LogError(kLogSource, kPayloadReadFailureLine, "unable to read '%zu' bytes from stream", count);
      return 0;
  }
  stream->read(reinterpret_cast<char*>(receive_buffer.get()), static_cast<std::streamsize>(count));
  if (stream->good()) return static_cast<int>(stream->gcount());
  if (!stream->eof()) {
    LogError(kLogSource, kPayloadReadFailureLine, "unable to read '%zu' bytes from stream", count);
  }
  return 0;
}

void Device::SendMessage(std::size_t length) {
  if (length > kBufferSize) {
    throw std::invalid_argument("a message is at most 1024 bytes long");
  }
  stream->Write(send_buffer.get(), length);
}

void Device::SendCodeAndFloats(uint8_t code, const float* values, const int& count) {
  if (count < 0 || count > kMaxFloatCount) {
    throw std::invalid_argument("SendCodeAndFloats sends between 0 and 255 floats");
  }
  if (count > 0 && values == nullptr) {
    throw std::invalid_argument("SendCodeAndFloats was given no values to send");
  }
  send_buffer[0] = code;
  for (int i = 0; i < count; ++i) Wire::Store(&send_buffer[1 + 4 * i], values[i]);
  SendMessage(1 + 4 * static_cast<std::size_t>(count));
}

void Device::ReadEndEffectorState(Vector3& position, Vector3& velocity) {
  ReadStateReply(ArmProtocol::kEndEffectorStateCode, position, velocity);
}

void Device::ReadJointState(Vector3& angles, Vector3& angular_velocities) {
  ReadStateReply(ArmProtocol::kJointStateCode, angles, angular_velocities);
}

bool Device::ReadReply(std::initializer_list<uint8_t> header, std::size_t payload_length) {
  bool header_matches = true;
  for (const uint8_t code : header) {
    const bool code_matches = ReadHeaderCode() == code;  // every code is read, match or not
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

void Device::ReadStateReply(uint8_t code, Vector3& first, Vector3& second) {
  if (!ReadReply({code}, ArmProtocol::kStatePayloadLength)) return;
  for (std::size_t k = 0; k < 3; ++k) {
    first[k] = Wire::Load<float>(&receive_buffer[4 * k]);
    second[k] = Wire::Load<float>(&receive_buffer[12 + 4 * k]);
  }
}

}  // namespace Tavix::HardwareAPI::Devices
