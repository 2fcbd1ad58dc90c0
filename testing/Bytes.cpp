#include "Bytes.h"

#include <cstdio>
#include <cstring>

#include "Slip.h"

namespace Tavix::Testing {

Bytes FloatBytes(std::initializer_list<float> values) {
  Bytes bytes(values.size() * 4);
  std::size_t offset = 0;
  for (const float value : values) {
    std::memcpy(&bytes[offset], &value, 4);
    offset += 4;
  }
  return bytes;
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes joined;
  for (const Bytes& part : parts) joined.insert(joined.end(), part.begin(), part.end());
  return joined;
}

std::string Hex(const Bytes& bytes) {
  std::string text;
  char digits[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(digits, sizeof digits, i == 0 ? "%02X" : " %02X", bytes[i]);
    text += digits;
  }
  return text;
}

Bytes SlipFrame(const Bytes& body) { return Simulator::SlipStuff(body); }

}  // namespace Tavix::Testing
