#pragma once

#include <cstdint>
#include <cstring>
#include <limits>

// Every multi-byte value on the wire is little-endian and every float IEEE 754
// binary32. Values are copied in host byte order, which is therefore required to be
// little-endian (true of every supported target: x86-64 and 64-bit Arm).
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the wire format is copied in host byte order, which must be little-endian");
static_assert(std::numeric_limits<float>::is_iec559 && sizeof(float) == 4,
              "wire floats are IEEE 754 binary32");

namespace Tavix::HardwareAPI::Wire {

/// The value of type T stored at `bytes` (unaligned).
template <typename T>
T Load(const uint8_t* bytes) {
  T value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

/// Stores `value` at `bytes` (unaligned).
template <typename T>
void Store(uint8_t* bytes, T value) {
  std::memcpy(bytes, &value, sizeof value);
}

}  // namespace Tavix::HardwareAPI::Wire
