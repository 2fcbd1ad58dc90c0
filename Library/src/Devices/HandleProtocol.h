#pragma once

#include <cstddef>
#include <cstdint>

// The handle's wire protocol: header codes, payload lengths and offsets, the framing of
// the compact status frame and the conversion of its raw values. Every multi-byte value
// is little-endian, every float binary32. Payload offsets count from the first byte
// after the header code.
namespace Tavix::HardwareAPI::HandleProtocol {

/// Wake-up request, host to handle: the code alone.
constexpr uint8_t kWakeupCode = 0x0A;
/// Status request (host to handle, the code alone), and the header of both status
/// replies: the status message read by `Receive` and the compact status frame read by
/// `GetGantrelStatus`. Which layout follows depends only on the reading operation.
constexpr uint8_t kStatusCode = 0xDA;
/// Handle state, host to handle: code, device id (uint16), data length N, N data bytes.
constexpr uint8_t kHandleStateCode = 0xDB;
constexpr std::size_t kHandleStateHeaderLength = 4;
/// Handle info reply.
constexpr uint8_t kInfoCode = 0xD0;
/// Error response reply.
constexpr uint8_t kErrorResponseCode = 0xDF;

namespace InfoPayload {
constexpr std::size_t kLength = 6;
constexpr std::size_t kToolDataRemaining = 0;
constexpr std::size_t kDeviceId = 1;  // uint16
constexpr std::size_t kDeviceModelNumber = 3;
constexpr std::size_t kHardwareVersion = 4;
constexpr std::size_t kFirmwareVersion = 5;
}  // namespace InfoPayload

// The fixed part of the status message; `user_data_length` bytes of user data follow.
namespace StatusPayload {
constexpr std::size_t kLength = 21;
constexpr std::size_t kDeviceId = 0;  // uint16
constexpr std::size_t kErrorFlag = 2;
constexpr std::size_t kHallEffectSensorLevel = 3;
constexpr std::size_t kQuaternion = 4;  // four floats
constexpr std::size_t kUserDataLength = 20;
}  // namespace StatusPayload

namespace ErrorResponsePayload {
constexpr std::size_t kLength = 3;
constexpr std::size_t kDeviceId = 0;  // uint16
constexpr std::size_t kErrorCode = 2;
}  // namespace ErrorResponsePayload

// The compact status frame: after the code, an 18-byte body stuffed by SLIP, closed by
// END. Stuffing turns each END or ESC of the body into two bytes, so the frame after the
// code is 19 bytes long when nothing needed stuffing and 37 when every body byte did.
// Bytes of the body not listed here carry nothing the host uses.
constexpr std::size_t kCompactBodyLength = 18;
constexpr std::size_t kCompactFrameMinLength = kCompactBodyLength + 1;
constexpr std::size_t kCompactFrameMaxLength = 2 * kCompactBodyLength + 1;

namespace CompactBody {
constexpr std::size_t kErrorFlag = 2;
constexpr std::size_t kSensors = 3;  // hall-effect level in bits 0-4, buttons in bits 5-7
constexpr uint8_t kHallEffectSensorLevelMask = 0x1F;
constexpr unsigned kButtonsShift = 5;
constexpr std::size_t kDeviceId = 4;
constexpr std::size_t kQuaternion = 8;  // four signed Q15 values (int16)
constexpr std::size_t kBattery = 16;
}  // namespace CompactBody

// SLIP (RFC 1055) bytes.
constexpr uint8_t kSlipEnd = 0xC0;
constexpr uint8_t kSlipEsc = 0xDB;
constexpr uint8_t kSlipEscEnd = 0xDC;  ///< after ESC: stands for END
constexpr uint8_t kSlipEscEsc = 0xDD;  ///< after ESC: stands for ESC

/// Q15: a signed 16-bit value v stands for v / 32768.
constexpr float kQ15Scale = 32768.0f;

/// battery_level = kBatteryBaseLevel + kBatteryLevelPerStep x raw value.
constexpr double kBatteryBaseLevel = 3.0;
constexpr double kBatteryLevelPerStep = 0.005;

/// Host-side failures reported in `GantrelStatus::error_flag`.
constexpr uint8_t kErrorFlagMalformedFrame = 1;  ///< frame cut short, or not 18 bytes before END
constexpr uint8_t kErrorFlagNoFrame = 2;         ///< no status code arrived in time

}  // namespace Tavix::HardwareAPI::HandleProtocol
