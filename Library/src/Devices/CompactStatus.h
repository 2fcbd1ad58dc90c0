#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "HandleProtocol.h"
#include "Tavix/HardwareAPI/Devices/GantrelStatus.h"

// Decoding of the handle's compact status frame: pure functions on bytes, no port.
namespace Tavix::HardwareAPI::CompactStatus {

/// The body recovered from the encoded bytes of a frame. At most a full body is kept;
/// `length` counts every body byte found, so a body too long for the frame shows as a
/// `length` above 18.
struct UnstuffedBody {
  std::array<uint8_t, HandleProtocol::kCompactBodyLength> bytes{};
  std::size_t length = 0;
  bool ended = false;  ///< an END closed the body
};

/// Unstuffs the `length` encoded bytes at `encoded` up to the first END, which closes
/// the body; bytes after it are not looked at. ESC ESC_END gives END, ESC ESC_ESC gives
/// ESC; an ESC followed by anything else gives nothing (the byte after it is then taken
/// as an ordinary byte, or as the END), and neither does an ESC that is the last byte.
UnstuffedBody Unstuff(const uint8_t* encoded, std::size_t length);

/// The fewest bytes that must still be read after the `length` encoded bytes at
/// `encoded` for the frame to reach its END: 18 minus the body bytes found, plus one for
/// the END. 0 when an END has been read, or when the body is already longer than 18
/// bytes and no more bytes could make the frame whole. Reading this many never goes past
/// the END of a well-formed frame: each body byte still to come takes at least one byte.
std::size_t MissingFrameBytes(const uint8_t* encoded, std::size_t length);

/// The signed Q15 value `raw` (two's complement) as a float in [-1, 1).
float Q15ToFloat(uint16_t raw);

/// 3.0 + 0.005 x `raw`, computed in double precision.
float BatteryLevel(uint8_t raw);

/// The record holding `body` (kCompactBodyLength bytes), converted.
Devices::GantrelStatus DecodeBody(const uint8_t* body);

/// Unstuffs and decodes the `length` encoded bytes at `encoded`, the frame after its
/// code; error_flag `kErrorFlagMalformedFrame` and nothing else unless an END closes a
/// body of exactly 18 bytes.
Devices::GantrelStatus DecodeFrame(const uint8_t* encoded, std::size_t length);

/// A record holding only `error_flag`: the result of a failed read.
Devices::GantrelStatus FailureStatus(uint8_t error_flag);

}  // namespace Tavix::HardwareAPI::CompactStatus
