// tavix info PORT --handle: a handle's info reply and one status message.

#include <cstdio>
#include <optional>
#include <string>

#include "CommandFailure.h"
#include "Commands.h"
#include "PortAccess.h"
#include "ReplyTimeout.h"
#include "Tavix/HardwareAPI/Devices/Handle.h"
#include "TextFormat.h"

namespace Tavix::Cli {
namespace {

using namespace HardwareAPI::Devices;

// A handle that keeps the replies it receives, one of each kind.
class RecordingHandle : public Handle {
 public:
  using Handle::Handle;

  void OnReceiveHandleInfoRecord(const HandleInfo& reply) override { info = reply; }
  void OnReceiveHandleStatusRecord(const HandleStatusMessage& reply) override { status = reply; }
  void OnReceiveHandleErrorRecord(const HandleErrorResponse& reply) override { error = reply; }

  std::optional<HandleInfo> info;
  std::optional<HandleStatusMessage> status;
  std::optional<HandleErrorResponse> error;
};

std::string NoReply(const std::string& port) {
  return "no reply from " + port + "\nAn arm? Try 'tavix info " + port +
         "'. Otherwise it may be the wrong port: 'tavix detect' finds devices.";
}

std::string UserDataText(const HandleStatusMessage& status) {
  if (status.user_data_length == 0) return "none";
  std::string text;
  char byte[4];
  for (std::size_t i = 0; i < status.user_data_length; ++i) {
    std::snprintf(byte, sizeof byte, i == 0 ? "%02x" : " %02x", status.user_data[i]);
    text += byte;
  }
  return text;
}

void PrintInfo(const HandleInfo& info) {
  std::fputs(FieldLine("device number", std::to_string(info.device_id)).c_str(), stdout);
  std::fputs(FieldLine("model", std::to_string(info.device_model_number)).c_str(), stdout);
  std::fputs(FieldLine("hardware version", std::to_string(info.hardware_version)).c_str(), stdout);
  std::fputs(FieldLine("firmware version", std::to_string(info.firmware_version)).c_str(), stdout);
  std::fputs(FieldLine("tool data remaining", std::to_string(info.tool_data_remaining)).c_str(), stdout);
}

void PrintStatus(const HandleStatusMessage& status) {
  std::printf("status message\n");
  std::fputs(FieldLine("device number", std::to_string(status.device_id)).c_str(), stdout);
  std::fputs(FieldLine("orientation", NumbersText(status.quaternion, 4, 0, 4)).c_str(), stdout);
  std::fputs(FieldLine("error flag", std::to_string(status.error_flag)).c_str(), stdout);
  std::fputs(FieldLine("hall-effect level", std::to_string(status.hall_effect_sensor_level)).c_str(), stdout);
  std::fputs(FieldLine("user data", UserDataText(status)).c_str(), stdout);
}

void PrintError(const HandleErrorResponse& error) {
  std::printf("error response\n");
  std::fputs(FieldLine("device number", std::to_string(error.device_id)).c_str(), stdout);
  std::fputs(FieldLine("error code", std::to_string(error.error_code)).c_str(), stdout);
}

void PrintReplies(const RecordingHandle& handle, const std::string& port) {
  std::printf("handle on %s\n", port.c_str());
  if (handle.info) PrintInfo(*handle.info);
  if (handle.status) PrintStatus(*handle.status);
  if (handle.error) PrintError(*handle.error);
}

}  // namespace

int RunHandleInfo(const Options& options) {
  HardwareAPI::IO::SerialStream stream(options.port.c_str(), false);
  OpenPort(stream);
  RecordingHandle handle(&stream);
  handle.timeout = kReplyTimeoutSeconds;

  handle.SendDeviceWakeup();
  if (handle.Receive() < 0) throw CommandFailure(NoReply(options.port));
  handle.RequestStatus();
  handle.Receive();
  PrintReplies(handle, options.port);

  if (!handle.info) throw CommandFailure("the handle on " + options.port + " sent no info reply");
  if (!handle.status) throw CommandFailure("the handle on " + options.port + " sent no status message");
  return 0;
}

}  // namespace Tavix::Cli
