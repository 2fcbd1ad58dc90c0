#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "HandleProtocol.h"
#include "Tavix/HardwareAPI/Devices/GantrelStatus.h"

// Decoding of the handle's compact status frame: pure functions on bytes, no port.
namespace Tavix::HardwareAPI::CompactStatus {

/// The body bytes recovered from a frame. Unstuffing never yields more bytes than a
/// full body holds, so a fixed array suffices.
struct UnstuffedBody {
  std::array<uint8_t, HandleProtocol::kCompactBodyLength> bytes{};
  std::size_t length = 0;
};

/// Unstuffs the `kCompactFrameLength` bytes at `frame`. Symbols start only in the first
/// 18 positions; the last byte is read only as the partner of an ESC just before it.
/// ESC ESC_END gives END, ESC ESC_ESC gives ESC; END and an ESC followed by anything
/// else give nothing (the byte after such an ESC is then taken as an ordinary byte).
UnstuffedBody Unstuff(const uint8_t* frame);

/// The signed Q15 value `raw` (two's complement) as a float in [-1, 1).
float Q15ToFloat(uint16_t raw);

/// 3.0 + 0.005 x `raw`, computed in double precision.
float BatteryLevel(uint8_t raw);

/// The record holding `body` (kCompactBodyLength bytes), converted.
Devices::GantrelStatus DecodeBody(const uint8_t* body);

/// Unstuffs and decodes the frame at `frame` (kCompactFrameLength bytes); error_flag
/// `kErrorFlagMalformedFrame` and nothing else when the body is not exactly 18 bytes.
Devices::GantrelStatus DecodeFrame(const uint8_t* frame);

/// A record holding only `error_flag`: the result of a failed read.
Devices::GantrelStatus FailureStatus(uint8_t error_flag);

}  // namespace Tavix::HardwareAPI::CompactStatus
