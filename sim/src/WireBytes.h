#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <vector>

// Values go on the wire little-endian, floats as IEEE 754 binary32. Floats are copied
// in host byte order, so the host must be little-endian (x86-64 and 64-bit Arm are).
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "floats are copied to the wire in host byte order, which must be little-endian");
static_assert(std::numeric_limits<float>::is_iec559 && sizeof(float) == 4,
              "wire floats are IEEE 754 binary32");

namespace Tavix::Simulator {

using Bytes = std::vector<uint8_t>;

// A few bytes go on one at a time rather than through Bytes::insert: GCC 12 at -O3,
// inlining insert's reallocation into a reply only a byte or two long, reports a
// memcpy out of bounds that cannot happen (-Warray-bounds, -Wstringop-overread).
inline void AppendBytes(Bytes& out, std::initializer_list<uint8_t> bytes) {
  for (const uint8_t byte : bytes) out.push_back(byte);
}

inline void AppendU16(Bytes& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value & 0xFF));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

inline void AppendI16(Bytes& out, int16_t value) { AppendU16(out, static_cast<uint16_t>(value)); }

inline void AppendFloat(Bytes& out, float value) {
  uint8_t bytes[4];
  std::memcpy(bytes, &value, 4);
  AppendBytes(out, {bytes[0], bytes[1], bytes[2], bytes[3]});
}

inline uint16_t LoadU16(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

inline float LoadFloat(const uint8_t* bytes) {
  float value;
  std::memcpy(&value, bytes, 4);
  return value;
}

}  // namespace Tavix::Simulator
