// tavix info PORT: an arm's identity and the answers to its status queries.

#include <cstdio>
#include <string>

#include "ArmConnection.h"
#include "Commands.h"
#include "TextFormat.h"

namespace Tavix::Cli {
namespace {

using HardwareAPI::UUID;
using HardwareAPI::Devices::DeviceInfo;
using HardwareAPI::Devices::Morvek3;

std::string FirmwareIdentifierText(const UUID& identifier) {
  const std::string text = PrintableText(identifier);
  return UuidText(identifier) + (text.empty() ? "" : " (\"" + text + "\")");
}

void PrintIdentity(const DeviceInfo& info) {
  std::fputs(FieldLine("device number", std::to_string(info.device_id)).c_str(), stdout);
  std::fputs(FieldLine("model", std::to_string(info.device_model_number) + " (Morvek3)").c_str(), stdout);
  std::fputs(FieldLine("hardware version", std::to_string(info.hardware_version)).c_str(), stdout);
  std::fputs(FieldLine("firmware version", std::to_string(info.firmware_version)).c_str(), stdout);
  // Under the name `tavix scan` and `open_arm` give it, from the same reply.
  std::fputs(FieldLine("uuid", UuidText(info.device_id_ext)).c_str(), stdout);
}

void PrintFirmwareIdentifier(Morvek3& arm) {
  const std::string firmware = FirmwareIdentifierText(arm.GetFirmwareVersion());
  std::fputs(FieldLine("firmware identifier", firmware).c_str(), stdout);
}

void PrintStatus(Morvek3& arm) {
  const HardwareAPI::Vector3 currents = arm.GetMotorCurrents();
  const Morvek3::Orientation orientation = arm.GetDeviceOrientation();
  const bool powered = arm.GetPowerStatus();
  const float temperature = arm.GetTemperature();
  std::printf("status\n");
  const std::string currents_text = NumbersText(currents.data(), currents.size(), 0, 4);
  const std::string orientation_text = NumbersText(orientation.data(), orientation.size(), 0, 4);
  std::fputs(FieldLine("motor currents", currents_text).c_str(), stdout);
  std::fputs(FieldLine("base orientation", orientation_text).c_str(), stdout);
  std::fputs(FieldLine("power", powered ? "on" : "off").c_str(), stdout);
  std::fputs(FieldLine("temperature", NumbersText(&temperature, 1, 0, 1)).c_str(), stdout);
}

}  // namespace

int RunArmInfo(const Options& options) {
  ArmConnection connection(options.port);
  std::printf("arm on %s\n", options.port.c_str());
  PrintIdentity(connection.Identity());
  PrintFirmwareIdentifier(connection.Arm());
  PrintStatus(connection.Arm());
  connection.ThrowIfLost();
  return 0;
}

}  // namespace Tavix::Cli
