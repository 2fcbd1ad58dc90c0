#include "CompactStatus.h"

#include "WireFormat.h"

namespace Tavix::HardwareAPI::CompactStatus {

using namespace HandleProtocol;

UnstuffedBody Unstuff(const uint8_t* frame) {
  UnstuffedBody body;
  const auto append = [&body](uint8_t byte) { body.bytes[body.length++] = byte; };
  // At most one byte is appended per symbol and symbols start only in the first 18
  // positions, so `bytes` cannot overflow.
  std::size_t p = 0;
  while (p < kCompactBodyLength) {
    const uint8_t byte = frame[p];
    const uint8_t next = frame[p + 1];
    if (byte == kSlipEsc && (next == kSlipEscEnd || next == kSlipEscEsc)) {
      append(next == kSlipEscEnd ? kSlipEnd : kSlipEsc);
      p += 2;
      continue;
    }
    if (byte != kSlipEsc && byte != kSlipEnd) append(byte);
    p += 1;
  }
  return body;
}

float Q15ToFloat(uint16_t raw) {
  const int value = raw > 0x7FFF ? int{raw} - 0x10000 : int{raw};
  return static_cast<float>(value) / kQ15Scale;
}

float BatteryLevel(uint8_t raw) {
  return static_cast<float>(kBatteryBaseLevel + kBatteryLevelPerStep * raw);
}

Devices::GantrelStatus DecodeBody(const uint8_t* body) {
  Devices::GantrelStatus status;
  status.device_id = body[CompactBody::kDeviceId];
  for (std::size_t k = 0; k < 4; ++k) {
    status.quaternion[k] = Q15ToFloat(Wire::Load<uint16_t>(&body[CompactBody::kQuaternion + 2 * k]));
  }
  status.error_flag = body[CompactBody::kErrorFlag];
  const uint8_t sensors = body[CompactBody::kSensors];
  status.hall_effect_sensor_level = sensors & CompactBody::kHallEffectSensorLevelMask;
  status.buttons = static_cast<uint8_t>(sensors >> CompactBody::kButtonsShift);
  status.battery_level = BatteryLevel(body[CompactBody::kBattery]);
  return status;
}

Devices::GantrelStatus DecodeFrame(const uint8_t* frame) {
  const UnstuffedBody body = Unstuff(frame);
  if (body.length != kCompactBodyLength) return FailureStatus(kErrorFlagMalformedFrame);
  return DecodeBody(body.bytes.data());
}

Devices::GantrelStatus FailureStatus(uint8_t error_flag) {
  Devices::GantrelStatus status;
  status.error_flag = error_flag;
  return status;
}

}  // namespace Tavix::HardwareAPI::CompactStatus
