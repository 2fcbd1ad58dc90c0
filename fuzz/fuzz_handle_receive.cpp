// Feeds arbitrary bytes to Handle::Receive as replies arriving on the handle's port, and
// checks every call against the reply layouts: its result, the bytes it consumed and the
// values it handed to the callbacks. The bytes go either to a plain Handle, whose callbacks
// do nothing, or to a handle whose callbacks read all they are given: the lowest bit of the
// first byte chooses, so both are fuzzed at the cost of one pass an input.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "Devices/HandleProtocol.h"
#include "Harness.h"
#include "SocketPeer.h"
#include "Tavix/HardwareAPI/Devices/Handle.h"

using namespace Tavix::HardwareAPI::Devices;
using namespace Tavix::HardwareAPI::HandleProtocol;
using namespace Tavix::Fuzzing;

namespace {

// Keeps what each callback was given. The field forms copy every quaternion component and
// every user-data byte they are pointed to, so AddressSanitizer catches a pointer to fewer.
class ReadingHandle : public Handle {
 public:
  using Handle::Handle;

  void OnReceiveHandleInfo(uint8_t tool_data_remaining, uint16_t device_id, uint8_t device_model_number,
                           uint8_t hardware_version, uint8_t firmware_version) override {
    ++field_calls;
    info_from_fields = {device_id, tool_data_remaining, device_model_number, hardware_version,
                        firmware_version};
  }
  void OnReceiveHandleStatusMessage(uint16_t device_id, const float* quaternion, uint8_t error_flag,
                                    uint8_t hall_effect_sensor_level, uint8_t user_data_length,
                                    const uint8_t* user_data) override {
    ++field_calls;
    status_from_fields = {};
    status_from_fields.device_id = device_id;
    std::copy_n(quaternion, 4, status_from_fields.quaternion);
    status_from_fields.error_flag = error_flag;
    status_from_fields.hall_effect_sensor_level = hall_effect_sensor_level;
    status_from_fields.user_data_length = user_data_length;
    std::copy_n(user_data, user_data_length, status_from_fields.user_data);
  }
  void OnReceiveHandleErrorResponse(uint16_t device_id, uint8_t error_code) override {
    ++field_calls;
    error_from_fields = {device_id, error_code};
  }
  void OnReceiveHandleInfoRecord(const HandleInfo& record) override {
    ++record_calls;
    info = record;
  }
  void OnReceiveHandleStatusRecord(const HandleStatusMessage& record) override {
    ++record_calls;
    status = record;
  }
  void OnReceiveHandleErrorRecord(const HandleErrorResponse& record) override {
    ++record_calls;
    error = record;
  }

  int field_calls = 0;
  int record_calls = 0;
  HandleInfo info_from_fields, info;
  HandleStatusMessage status_from_fields, status;
  HandleErrorResponse error_from_fields, error;
};

struct Fixture {
  Tavix::Testing::SocketPeer port;
  Handle plain{&port.Stream()};
  ReadingHandle reading{&port.Stream()};
};

// What one Receive must do with the bytes waiting for it (at least one): its result, the
// bytes it consumes, and whether it hands a reply to the callbacks. Everything is queued
// before the call, so a payload that is short now stays short until the time-out.
struct Outcome {
  int result;
  std::size_t consumed;
  bool delivered;
};

Outcome ExpectedReceive(const uint8_t* bytes, std::size_t size) {
  const std::size_t payload = size - 1;
  const auto fixed = [payload](std::size_t length) {
    return payload >= length ? Outcome{static_cast<int>(length), 1 + length, true} : Outcome{0, 1, false};
  };
  switch (bytes[0]) {
    case kInfoCode:
      return fixed(InfoPayload::kLength);
    case kErrorResponseCode:
      return fixed(ErrorResponsePayload::kLength);
    case kStatusCode: {
      if (payload < StatusPayload::kLength) return {0, 1, false};
      const std::size_t user_data_length = bytes[1 + StatusPayload::kUserDataLength];
      const std::size_t full = StatusPayload::kLength + user_data_length;
      if (payload < full) return {static_cast<int>(StatusPayload::kLength), 1 + StatusPayload::kLength, false};
      return {static_cast<int>(full), 1 + full, true};
    }
    default:
      return {-1, 1, false};
  }
}

uint16_t Le16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | bytes[1] << 8); }

bool SameInfo(const HandleInfo& a, const HandleInfo& b) {
  return a.device_id == b.device_id && a.tool_data_remaining == b.tool_data_remaining &&
         a.device_model_number == b.device_model_number && a.hardware_version == b.hardware_version &&
         a.firmware_version == b.firmware_version;
}

bool SameStatus(const HandleStatusMessage& a, const HandleStatusMessage& b) {
  return a.device_id == b.device_id && SameBits(a.quaternion, b.quaternion, sizeof a.quaternion) &&
         a.error_flag == b.error_flag && a.hall_effect_sensor_level == b.hall_effect_sensor_level &&
         a.user_data_length == b.user_data_length && SameBits(a.user_data, b.user_data, sizeof a.user_data);
}

bool SameError(const HandleErrorResponse& a, const HandleErrorResponse& b) {
  return a.device_id == b.device_id && a.error_code == b.error_code;
}

// The reply at `bytes` was delivered: both callback forms must hold it, as laid out on the wire.
void CheckDelivered(const ReadingHandle& handle, const uint8_t* bytes) {
  Require(handle.field_calls == 1 && handle.record_calls == 1, "a delivered reply calls each form once");
  const uint8_t* payload = bytes + 1;
  switch (bytes[0]) {
    case kInfoCode: {
      const HandleInfo expected{Le16(payload + InfoPayload::kDeviceId), payload[InfoPayload::kToolDataRemaining],
                                payload[InfoPayload::kDeviceModelNumber], payload[InfoPayload::kHardwareVersion],
                                payload[InfoPayload::kFirmwareVersion]};
      Require(SameInfo(handle.info_from_fields, expected), "info fields as on the wire");
      Require(SameInfo(handle.info, expected), "info record as on the wire");
      break;
    }
    case kStatusCode: {
      HandleStatusMessage expected;
      expected.device_id = Le16(payload + StatusPayload::kDeviceId);
      std::copy_n(payload + StatusPayload::kQuaternion, sizeof expected.quaternion,
                  reinterpret_cast<uint8_t*>(expected.quaternion));
      expected.error_flag = payload[StatusPayload::kErrorFlag];
      expected.hall_effect_sensor_level = payload[StatusPayload::kHallEffectSensorLevel];
      expected.user_data_length = payload[StatusPayload::kUserDataLength];
      std::copy_n(payload + StatusPayload::kLength, expected.user_data_length, expected.user_data);
      Require(SameStatus(handle.status_from_fields, expected), "status fields as on the wire");
      Require(SameStatus(handle.status, expected), "status record as on the wire, unused user data zero");
      break;
    }
    case kErrorResponseCode: {
      const HandleErrorResponse expected{Le16(payload + ErrorResponsePayload::kDeviceId),
                                         payload[ErrorResponsePayload::kErrorCode]};
      Require(SameError(handle.error_from_fields, expected), "error fields as on the wire");
      Require(SameError(handle.error, expected), "error record as on the wire");
      break;
    }
    default:
      Require(false, "only info, status and error replies are delivered");
  }
}

// Calls Receive until every byte of `input` is consumed, checking each call.
void ReceiveAll(Tavix::Testing::SocketPeer& port, Handle& handle, ReadingHandle* reading, const Bytes& input) {
  port.Send(input);
  std::size_t position = 0;
  while (position < input.size()) {
    if (reading != nullptr) reading->field_calls = reading->record_calls = 0;
    const int result = handle.Receive();
    const std::size_t consumed = input.size() - static_cast<std::size_t>(port.QueuedTowardsLibrary()) - position;
    const Outcome expected = ExpectedReceive(&input[position], input.size() - position);
    Require(result == expected.result, "Receive returns the payload bytes read, or -1");
    Require(consumed == expected.consumed, "Receive consumes the code and the payload read, no more");
    if (reading != nullptr) {
      if (expected.delivered) {
        CheckDelivered(*reading, &input[position]);
      } else {
        Require(reading->field_calls == 0 && reading->record_calls == 0, "an incomplete reply calls nothing");
      }
    }
    position += expected.consumed;
  }
  Require(port.Stream().good(), "the stream never waits for bytes that are not there");
  port.Reset();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  Fixture& fixture = TheFixture<Fixture>();
  const Bytes input = Input(data, size);
  if (size > 0 && (data[0] & 1) != 0) {
    ReceiveAll(fixture.port, fixture.plain, nullptr, input);
  } else {
    ReceiveAll(fixture.port, fixture.reading, &fixture.reading, input);
  }
  return 0;
}
