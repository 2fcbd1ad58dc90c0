#pragma once

#include <string>

#include "Tavix/HardwareAPI/Devices/DeviceInfo.h"
#include "Tavix/HardwareAPI/Devices/Morvek3.h"
#include "Tavix/HardwareAPI/IO/SerialStream.h"

namespace Tavix::Cli {

/// A Morvek3 arm on its port, opened and woken for one command, waiting
/// `kReplyTimeoutSeconds` for each reply.
class ArmConnection {
 public:
  /// Opens `port` (see `OpenPort`) and wakes the arm. Throws CommandFailure when the
  /// port cannot be opened, nothing answers the wake-up as an arm would ("no reply from
  /// PORT", with a hint at a handle or the wrong port), or the device is another model.
  explicit ArmConnection(const std::string& port);

  ArmConnection(const ArmConnection&) = delete;
  ArmConnection& operator=(const ArmConnection&) = delete;

  HardwareAPI::Devices::Morvek3& Arm() { return arm_; }

  /// The reply to the wake-up.
  const HardwareAPI::Devices::DeviceInfo& Identity() const { return identity_; }

  /// Throws CommandFailure if the port has failed for good (for example, the device was
  /// unplugged): the library then fails every later exchange at once.
  void ThrowIfLost() const;

 private:
  HardwareAPI::IO::SerialStream stream_;
  HardwareAPI::Devices::Morvek3 arm_;
  HardwareAPI::Devices::DeviceInfo identity_;
};

/// True for the all-zero state the library returns when an exchange got no reply.
bool IsEmpty(const HardwareAPI::Devices::ArmState& state);

}  // namespace Tavix::Cli
