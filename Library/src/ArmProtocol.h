#pragma once

#include <cstddef>
#include <cstdint>

// The arm's wire protocol: header codes and payload lengths. Every multi-byte value is
// little-endian, every float binary32.
namespace Tavix::HardwareAPI::ArmProtocol {

/// Reply to an end-effector command: position then velocity, 6 floats.
constexpr uint8_t kEndEffectorStateCode = 0x2B;
/// Reply to a joint-space command: joint angles (degrees) then joint velocities.
constexpr uint8_t kJointStateCode = 0x1B;
constexpr std::size_t kStatePayloadLength = 24;

}  // namespace Tavix::HardwareAPI::ArmProtocol
