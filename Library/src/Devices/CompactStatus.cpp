#include "CompactStatus.h"

#include "WireFormat.h"

namespace Tavix::HardwareAPI::CompactStatus {

using namespace HandleProtocol;

UnstuffedBody Unstuff(const uint8_t* encoded, std::size_t length) {
  UnstuffedBody body;
  const auto append = [&body](uint8_t byte) {
    if (body.length < body.bytes.size()) body.bytes[body.length] = byte;
    ++body.length;
  };
  std::size_t p = 0;
  while (p < length) {
    const uint8_t byte = encoded[p];
    if (byte == kSlipEnd) {
      body.ended = true;
      break;
    }
    const bool pair = byte == kSlipEsc && p + 1 < length &&
                      (encoded[p + 1] == kSlipEscEnd || encoded[p + 1] == kSlipEscEsc);
    if (pair) {
      append(encoded[p + 1] == kSlipEscEnd ? kSlipEnd : kSlipEsc);
      p += 2;
      continue;
    }
    if (byte != kSlipEsc) append(byte);
    p += 1;
  }
  return body;
}

std::size_t MissingFrameBytes(const uint8_t* encoded, std::size_t length) {
  const UnstuffedBody body = Unstuff(encoded, length);
  if (body.ended || body.length > kCompactBodyLength) return 0;
  return kCompactBodyLength - body.length + 1;
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

Devices::GantrelStatus DecodeFrame(const uint8_t* encoded, std::size_t length) {
  const UnstuffedBody body = Unstuff(encoded, length);
  if (!body.ended || body.length != kCompactBodyLength) return FailureStatus(kErrorFlagMalformedFrame);
  return DecodeBody(body.bytes.data());
}

Devices::GantrelStatus FailureStatus(uint8_t error_flag) {
  Devices::GantrelStatus status;
  status.error_flag = error_flag;
  return status;
}

}  // namespace Tavix::HardwareAPI::CompactStatus
