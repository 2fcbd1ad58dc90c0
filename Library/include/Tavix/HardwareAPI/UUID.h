#pragma once

#include <array>
#include <cstdint>

namespace Tavix::HardwareAPI {

/// A 16-byte device identifier (or firmware version), bytes in the order they arrive on
/// the wire. Plain copyable data; all zero when a query failed.
struct UUID {
  std::array<uint8_t, 16> bytes{};
};

static_assert(sizeof(UUID) == 16 && alignof(UUID) == 1, "UUID is 16 bytes, byte-aligned");

}  // namespace Tavix::HardwareAPI
