#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace Tavix::Testing {

using Bytes = std::vector<uint8_t>;

/// The bytes of little-endian binary32 values, back to back.
Bytes FloatBytes(std::initializer_list<float> values);
/// Concatenation of byte runs.
Bytes Join(std::initializer_list<Bytes> parts);
/// "2A 00 80 3F" style text, for failure messages.
std::string Hex(const Bytes& bytes);
/// `body` stuffed by SLIP and closed by END, as the simulator frames what it streams:
/// an encoder written apart from the library's decoder.
Bytes SlipFrame(const Bytes& body);

}  // namespace Tavix::Testing
