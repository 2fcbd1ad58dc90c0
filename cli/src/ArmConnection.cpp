#include "ArmConnection.h"

#include "CommandFailure.h"
#include "PortAccess.h"
#include "ReplyTimeout.h"

namespace Tavix::Cli {
namespace {

// The model number an arm gives in its wake-up reply, as the library's detection checks.
constexpr uint8_t kMorvek3ModelNumber = 4;

std::string NoReply(const std::string& port) {
  return "no reply from " + port + "\nA handle? Try 'tavix info " + port +
         " --handle'. Otherwise it may be the wrong port: 'tavix detect' finds devices.";
}

}  // namespace

ArmConnection::ArmConnection(const std::string& port) : stream_(port.c_str(), false), arm_(&stream_) {
  OpenPort(stream_);
  arm_.timeout = kReplyTimeoutSeconds;
  identity_ = arm_.DeviceWakeup();
  if (identity_.device_model_number == 0) throw CommandFailure(NoReply(port));
  if (identity_.device_model_number != kMorvek3ModelNumber) {
    throw CommandFailure("the device on " + port + " is model " +
                         std::to_string(identity_.device_model_number) + ", not a Morvek3 arm");
  }
}

void ArmConnection::ThrowIfLost() const {
  if (stream_.fail()) throw CommandFailure("lost the connection to " + stream_.PortPath());
}

bool IsEmpty(const HardwareAPI::Devices::ArmState& state) {
  return state.position == HardwareAPI::Vector3{} && state.velocity == HardwareAPI::Vector3{};
}

}  // namespace Tavix::Cli
