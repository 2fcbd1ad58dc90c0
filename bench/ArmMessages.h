#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace Tavix::Bench {

/// The end-effector force exchange of a Morvek3 arm as bytes on the wire: 0x2A and
/// three little-endian floats out, 0x2B and 24 bytes of state back.
constexpr std::size_t kForceRequestLength = 13;
constexpr std::size_t kStateReplyLength = 25;
constexpr uint8_t kForceCode = 0x2A;
constexpr uint8_t kEndEffectorStateCode = 0x2B;

/// A force request for (0, 0, 0).
constexpr std::array<uint8_t, kForceRequestLength> kZeroForceRequest{kForceCode};

/// A state reply of an arm at rest at the origin.
inline std::vector<uint8_t> ZeroStateReply() {
  std::vector<uint8_t> reply(kStateReplyLength, 0);
  reply[0] = kEndEffectorStateCode;
  return reply;
}

}  // namespace Tavix::Bench
