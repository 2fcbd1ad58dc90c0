#pragma once

#include <optional>
#include <string>

#include "Tavix/HardwareAPI/Devices/DeviceInfo.h"
#include "Tavix/HardwareAPI/Devices/HandleInfo.h"
#include "Tavix/HardwareAPI/UsbIdentity.h"

namespace Tavix::HardwareAPI {

/// What a scan found on a port.
enum class PortFinding {
  Arm,      ///< answered the wake-up with a complete device-information reply of a Morvek3 (model 4)
  Handle,   ///< answered with a handle-information reply (0xD0) or a status message (0xDA)
  Busy,     ///< another stream (in this or any other process) holds the port; not probed
  Silent,   ///< nothing arrived within the time-out
  Unknown,  ///< something else: another reply, an incomplete one, or a port that cannot be opened
};

/// "arm", "handle", "busy", "silent" or "unknown".
const char* PortFindingName(PortFinding finding) noexcept;

/// One port of a scan and what was found on it. A plain copyable record.
struct ScanRecord {
  /// The port: the entry of the device directory ("/dev/ttyACM0"), or, for a port
  /// named only by a /dev/serial/by-id link, the link's target.
  std::string path;
  /// The link in <device directory>/serial/by-id that names the port, "" if none does.
  std::string by_id;
  PortFinding kind = PortFinding::Unknown;
  /// For an arm: its wake-up reply (device id, model, hardware and firmware versions,
  /// the 16-byte identifier in `device_id_ext`).
  std::optional<Devices::DeviceInfo> arm;
  /// For a handle that answered with its information reply; a handle that answered with
  /// a status message has none (its identity was not in the reply).
  std::optional<Devices::HandleInfo> handle;
  /// When the port belongs to a USB device.
  std::optional<UsbIdentity> usb;
  /// Why the port is busy or unknown, for people: "held by another program", "cannot
  /// open: Permission denied", "answered with code 0x55", ...; "" for the others, except
  /// a handle that answered with a status message.
  std::string note;
};

}  // namespace Tavix::HardwareAPI
