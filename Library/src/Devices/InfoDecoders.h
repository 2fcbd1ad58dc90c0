#pragma once

#include <algorithm>
#include <cstdint>

#include "ArmProtocol.h"
#include "HandleProtocol.h"
#include "Tavix/HardwareAPI/Devices/DeviceInfo.h"
#include "Tavix/HardwareAPI/Devices/HandleInfo.h"
#include "WireFormat.h"

// The identity payloads both devices answer a wake-up with, decoded. Shared by the
// devices' own reads and by the scan, which classifies a port by the reply alone.
namespace Tavix::HardwareAPI::InfoDecoders {

/// The arm's device-info payload (after its 0x0B code).
inline Devices::DeviceInfo ArmInfo(const uint8_t* payload) {
  namespace AP = ArmProtocol;
  Devices::DeviceInfo info;
  info.device_id = Wire::Load<uint16_t>(payload + AP::kInfoDeviceIdOffset);
  info.device_model_number = payload[AP::kInfoModelNumberOffset];
  info.hardware_version = payload[AP::kInfoHardwareVersionOffset];
  info.firmware_version = payload[AP::kInfoFirmwareVersionOffset];
  std::copy_n(payload + AP::kInfoIdentifierOffset, info.device_id_ext.bytes.size(),
              info.device_id_ext.bytes.begin());
  return info;
}

/// The handle's info payload (after its 0xD0 code).
inline Devices::HandleInfo HandleInfo(const uint8_t* payload) {
  namespace HP = HandleProtocol;
  Devices::HandleInfo info;
  info.device_id = Wire::Load<uint16_t>(payload + HP::InfoPayload::kDeviceId);
  info.tool_data_remaining = payload[HP::InfoPayload::kToolDataRemaining];
  info.device_model_number = payload[HP::InfoPayload::kDeviceModelNumber];
  info.hardware_version = payload[HP::InfoPayload::kHardwareVersion];
  info.firmware_version = payload[HP::InfoPayload::kFirmwareVersion];
  return info;
}

}  // namespace Tavix::HardwareAPI::InfoDecoders
