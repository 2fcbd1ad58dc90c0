#include "Tavix/HardwareAPI/Devices/Handle.h"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "CompactStatus.h"
#include "HandleProtocol.h"
#include "InfoDecoders.h"
#include "WireFormat.h"

namespace Tavix::HardwareAPI::Devices {

using namespace HandleProtocol;

namespace {

// Fills everything but the user data, which arrives in a second read.
void DecodeStatusFixedPart(const uint8_t* payload, HandleStatusMessage& status) {
  status.device_id = Wire::Load<uint16_t>(&payload[StatusPayload::kDeviceId]);
  for (std::size_t k = 0; k < 4; ++k) {
    status.quaternion[k] = Wire::Load<float>(&payload[StatusPayload::kQuaternion + 4 * k]);
  }
  status.error_flag = payload[StatusPayload::kErrorFlag];
  status.hall_effect_sensor_level = payload[StatusPayload::kHallEffectSensorLevel];
  status.user_data_length = payload[StatusPayload::kUserDataLength];
}

HandleErrorResponse DecodeErrorResponse(const uint8_t* payload) {
  HandleErrorResponse error;
  error.device_id = Wire::Load<uint16_t>(&payload[ErrorResponsePayload::kDeviceId]);
  error.error_code = payload[ErrorResponsePayload::kErrorCode];
  return error;
}

bool IsComplete(int bytes_read, std::size_t expected) { return bytes_read == static_cast<int>(expected); }

}  // namespace

Handle::Handle(IO::SerialStream* stream) : Device(stream) {}

void Handle::OnReceiveHandleInfoRecord(const HandleInfo&) {}
void Handle::OnReceiveHandleInfo(uint8_t, uint16_t, uint8_t, uint8_t, uint8_t) {}
void Handle::OnReceiveHandleStatusRecord(const HandleStatusMessage&) {}
void Handle::OnReceiveHandleStatusMessage(uint16_t, const float*, uint8_t, uint8_t, uint8_t,
                                          const uint8_t*) {}
void Handle::OnReceiveHandleErrorRecord(const HandleErrorResponse&) {}
void Handle::OnReceiveHandleErrorResponse(uint16_t, uint8_t) {}

int Handle::Receive() {
  const Operation operation(*this);
  switch (ReadHeaderCode()) {
    case kInfoCode:
      return ReceiveInfo();
    case kStatusCode:
      return ReceiveStatusMessage();
    case kErrorResponseCode:
      return ReceiveErrorResponse();
    default:
      // No code in time, a failed port, or a code of no reply (0 included).
      Fail(DeviceErrc::wrong_header);
      DropFailedReply();
      return -1;
  }
}

void Handle::SendDeviceWakeup() {
  const Operation operation(*this);
  send_buffer[0] = kWakeupCode;
  SendMessage(1);
}

void Handle::SendHandleState(uint16_t device_id, uint8_t data_length, const uint8_t* user_data) {
  if (data_length > 0 && user_data == nullptr) {
    throw std::invalid_argument("SendHandleState was given no user data to send");
  }
  const Operation operation(*this);
  send_buffer[0] = kHandleStateCode;
  Wire::Store(&send_buffer[1], device_id);
  send_buffer[3] = data_length;
  std::copy_n(user_data, data_length, &send_buffer[kHandleStateHeaderLength]);
  SendMessage(kHandleStateHeaderLength + data_length);
}

void Handle::RequestStatus() {
  const Operation operation(*this);
  send_buffer[0] = kStatusCode;
  SendMessage(1);
}

GantrelStatus Handle::GetGantrelStatus() {
  const Operation operation(*this);
  if (!SkipToStatusCode()) return CompactStatus::FailureStatus(kErrorFlagNoFrame);
  // The frame is read up to its END and no further, as the bytes after it belong to the
  // next frame. It is at least 19 bytes long, so those are read first; after that, only
  // as many as the frame must still hold (one more for each ESC seen), until the END
  // has come or the longest possible frame has been read.
  std::array<uint8_t, kCompactFrameMaxLength> frame;
  std::size_t length = 0;
  std::size_t wanted = kCompactFrameMinLength;
  while (wanted > 0) {
    // A short read leaves earlier bytes in the buffer; never decode those.
    if (!IsComplete(ReadBytes(wanted), wanted)) return CompactStatus::FailureStatus(kErrorFlagMalformedFrame);
    std::copy_n(receive_buffer.get(), wanted, &frame[length]);
    length += wanted;
    wanted = std::min(CompactStatus::MissingFrameBytes(frame.data(), length), frame.size() - length);
  }
  const CompactStatus::UnstuffedBody body = CompactStatus::Unstuff(frame.data(), length);
  if (!body.ended || body.length != kCompactBodyLength) {
    Fail(DeviceErrc::malformed_reply);
    return CompactStatus::FailureStatus(kErrorFlagMalformedFrame);
  }
  return CompactStatus::DecodeBody(body.bytes.data());
}

int Handle::ReceiveInfo() {
  const int bytes_read = ReadBytes(InfoPayload::kLength);
  if (!IsComplete(bytes_read, InfoPayload::kLength)) return Incomplete(bytes_read);
  const HandleInfo info = InfoDecoders::HandleInfo(receive_buffer.get());
  OnReceiveHandleInfo(info.tool_data_remaining, info.device_id, info.device_model_number,
                      info.hardware_version, info.firmware_version);
  OnReceiveHandleInfoRecord(info);
  return bytes_read;
}

int Handle::ReceiveStatusMessage() {
  const int fixed_read = ReadBytes(StatusPayload::kLength);
  if (!IsComplete(fixed_read, StatusPayload::kLength)) return Incomplete(fixed_read);
  HandleStatusMessage status;
  DecodeStatusFixedPart(receive_buffer.get(), status);

  const int user_data_read = ReadBytes(status.user_data_length);  // a length of 0 reads nothing
  if (!IsComplete(user_data_read, status.user_data_length)) return Incomplete(fixed_read + user_data_read);
  std::copy_n(receive_buffer.get(), status.user_data_length, status.user_data);

  OnReceiveHandleStatusMessage(status.device_id, status.quaternion, status.error_flag,
                               status.hall_effect_sensor_level, status.user_data_length,
                               status.user_data);
  OnReceiveHandleStatusRecord(status);
  return fixed_read + user_data_read;
}

int Handle::ReceiveErrorResponse() {
  const int bytes_read = ReadBytes(ErrorResponsePayload::kLength);
  if (!IsComplete(bytes_read, ErrorResponsePayload::kLength)) return Incomplete(bytes_read);
  const HandleErrorResponse error = DecodeErrorResponse(receive_buffer.get());
  OnReceiveHandleErrorResponse(error.device_id, error.error_code);
  OnReceiveHandleErrorRecord(error);
  return bytes_read;
}

int Handle::Incomplete(int bytes_read) {
  DropFailedReply();
  return bytes_read;
}

// Other bytes may precede a frame: they are dropped one by one. A port that never stops
// sending them would hold the search forever, so the whole search shares one time-out.
bool Handle::SkipToStatusCode() {
  const IO::Deadline search_end = IO::Deadline::InSeconds(timeout);
  for (;;) {
    const int code = ReadHeaderCode();
    if (code == kStatusCode) return true;
    if (Failed()) return false;  // nothing came in time, or the port failed
    // A code 0 that did arrive ends the search as if nothing had, except on a Port,
    // where it is one more byte before the frame.
    if (code == 0 && !OnPort()) {
      Fail(DeviceErrc::wrong_header);
      return false;
    }
    if (search_end.Expired()) {
      Fail(DeviceErrc::timed_out);
      return false;
    }
  }
}

}  // namespace Tavix::HardwareAPI::Devices
