#pragma once

#include <cstddef>
#include <cstdint>

// The arm's wire protocol: request codes, reply header codes and payload lengths.
// Every multi-byte value is little-endian, every float binary32.
namespace Tavix::HardwareAPI::ArmProtocol {

// Wake-up: one byte; answered by the device-information reply.
constexpr uint8_t kWakeupCode = 0x0A;
constexpr uint8_t kDeviceInfoCode = 0x0B;
constexpr std::size_t kDeviceInfoLength = 21;
// Offsets in the device-information payload.
constexpr std::size_t kInfoDeviceIdOffset = 0;        // uint16
constexpr std::size_t kInfoModelNumberOffset = 2;
constexpr std::size_t kInfoHardwareVersionOffset = 3;
constexpr std::size_t kInfoFirmwareVersionOffset = 4;
constexpr std::size_t kInfoIdentifierOffset = 5;      // 16 bytes

// Identifier query: the code and a selector; the reply repeats both, then a length
// byte (always 16) and the identifier.
constexpr uint8_t kIdentifierCode = 0x0D;
constexpr uint8_t kDeviceIdSelector = 0xD1;
constexpr uint8_t kFirmwareVersionSelector = 0xD2;
constexpr std::size_t kIdentifierReplyLength = 17;
constexpr uint8_t kIdentifierLength = 16;

// Commands: the code and three floats (13 bytes).
constexpr uint8_t kForceCode = 0x2A;
constexpr uint8_t kPositionCode = 0x2C;
constexpr uint8_t kJointTorquesCode = 0x1A;
constexpr uint8_t kJointAnglesCode = 0x1C;
constexpr int kCommandFloatCount = 3;

// Reply to an end-effector command: position then velocity, 6 floats.
constexpr uint8_t kEndEffectorStateCode = 0x2B;
// Reply to a joint-space command: joint angles (degrees) then joint velocities.
constexpr uint8_t kJointStateCode = 0x1B;
constexpr std::size_t kStatePayloadLength = 24;

// Status queries: one request byte, answered with the same byte and a payload.
constexpr uint8_t kMotorCurrentsCode = 0xAB;
constexpr std::size_t kMotorCurrentsLength = 12;     // 3 floats
constexpr uint8_t kOrientationCode = 0x0C;
constexpr std::size_t kOrientationLength = 16;       // 4 floats
constexpr uint8_t kPowerStatusCode = 0xAC;
constexpr std::size_t kPowerStatusLength = 1;        // 0 = off, anything else = on
constexpr uint8_t kTemperatureCode = 0xAA;
constexpr std::size_t kTemperatureLength = 4;        // 1 float

// The model number by which an arm is recognised.
constexpr uint8_t kMorvek3ModelNumber = 4;

}  // namespace Tavix::HardwareAPI::ArmProtocol
