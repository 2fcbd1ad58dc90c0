// tavix scan: every candidate port probed at once; a table of what is on each, or the
// records as JSON with the field names of the Python module's ScanRecord.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "CandidatePorts.h"
#include "CommandFailure.h"
#include "Commands.h"
#include "Tavix/HardwareAPI/Scan.h"
#include "TextFormat.h"

namespace Tavix::Cli {
namespace {

using HardwareAPI::PortFinding;
using HardwareAPI::ScanRecord;
using HardwareAPI::UsbIdentity;

std::string Hex4(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value);
  return text;
}

// The DEVICE column: what the device reported, or why there is nothing to report.
std::string DeviceText(const ScanRecord& record) {
  if (record.arm) {
    const auto& arm = *record.arm;
    return "Morvek3 id " + std::to_string(arm.device_id) + ", hw " + std::to_string(arm.hardware_version) +
           ", fw " + std::to_string(arm.firmware_version) + ", uuid " + UuidText(arm.device_id_ext);
  }
  if (record.handle) {
    const auto& handle = *record.handle;
    return "handle id " + std::to_string(handle.device_id) + ", model " +
           std::to_string(handle.device_model_number) + ", hw " + std::to_string(handle.hardware_version) +
           ", fw " + std::to_string(handle.firmware_version);
  }
  return record.note;
}

// The USB column: "0403:6001 FTDI FT232R USB UART, serial A1B2".
std::string UsbText(const std::optional<UsbIdentity>& usb) {
  if (!usb) return "";
  std::string text = Hex4(usb->vendor_id) + ":" + Hex4(usb->product_id);
  for (const std::string* part : {&usb->manufacturer, &usb->product}) {
    if (!part->empty()) text += " " + *part;
  }
  if (!usb->serial_number.empty()) text += ", serial " + usb->serial_number;
  return text;
}

std::string Padded(std::string text, std::size_t width) {
  text.resize(std::max(width, text.size()), ' ');
  return text;
}

void PrintTable(const std::vector<ScanRecord>& records) {
  std::size_t path_width = 4;
  std::size_t device_width = 6;
  bool any_usb = false;
  for (const ScanRecord& record : records) {
    path_width = std::max(path_width, record.path.size());
    device_width = std::max(device_width, DeviceText(record).size());
    any_usb = any_usb || record.usb;
  }
  const auto row = [&](const std::string& path, const std::string& kind, const std::string& device,
                       const std::string& usb) {
    std::string line = Padded(path, path_width) + "  " + Padded(kind, 7) + "  " +
                       (usb.empty() ? device : Padded(device, device_width) + "  " + usb);
    line.erase(line.find_last_not_of(' ') + 1);
    std::printf("%s\n", line.c_str());
  };
  row("PORT", "KIND", "DEVICE", any_usb ? "USB" : "");
  for (const ScanRecord& record : records) {
    row(record.path, HardwareAPI::PortFindingName(record.kind), DeviceText(record), UsbText(record.usb));
    if (!record.by_id.empty()) std::printf("  by-id %s\n", record.by_id.c_str());
  }
}

// A JSON string: quoted, with quotes, backslashes and control characters escaped.
std::string Json(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      quoted += escape;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

std::string JsonOrNull(const std::string& text) { return text.empty() ? "null" : Json(text); }

// A JSON object of `fields`, names with the values already written as JSON, in order.
std::string JsonObject(std::initializer_list<std::pair<const char*, std::string>> fields) {
  std::string object = "{";
  const char* separator = "";
  for (const auto& [name, value] : fields) {
    object += separator + Json(name) + ": " + value;
    separator = ", ";
  }
  return object + "}";
}

std::string Json(const HardwareAPI::Devices::DeviceInfo& info) {
  return JsonObject({{"device_id", std::to_string(info.device_id)},
                     {"device_model_number", std::to_string(info.device_model_number)},
                     {"hardware_version", std::to_string(info.hardware_version)},
                     {"firmware_version", std::to_string(info.firmware_version)},
                     {"uuid", Json(UuidText(info.device_id_ext))}});
}

std::string Json(const HardwareAPI::Devices::HandleInfo& info) {
  return JsonObject({{"device_id", std::to_string(info.device_id)},
                     {"tool_data_remaining", std::to_string(info.tool_data_remaining)},
                     {"device_model_number", std::to_string(info.device_model_number)},
                     {"hardware_version", std::to_string(info.hardware_version)},
                     {"firmware_version", std::to_string(info.firmware_version)}});
}

std::string Json(const UsbIdentity& usb) {
  return JsonObject({{"vendor_id", std::to_string(usb.vendor_id)},
                     {"product_id", std::to_string(usb.product_id)},
                     {"serial_number", Json(usb.serial_number)},
                     {"manufacturer", Json(usb.manufacturer)},
                     {"product", Json(usb.product)}});
}

// The JSON of the record a scan found, null for none.
template <typename Found>
std::string JsonOrNull(const std::optional<Found>& found) {
  return found ? Json(*found) : "null";
}

std::string JsonRecord(const ScanRecord& record) {
  return JsonObject({{"path", Json(record.path)},
                     {"kind", Json(HardwareAPI::PortFindingName(record.kind))},
                     {"by_id", JsonOrNull(record.by_id)},
                     {"arm", JsonOrNull(record.arm)},
                     {"handle", JsonOrNull(record.handle)},
                     {"usb", JsonOrNull(record.usb)},
                     {"note", JsonOrNull(record.note)}});
}

void PrintJson(const std::vector<ScanRecord>& records) {
  std::printf("[");
  for (std::size_t i = 0; i < records.size(); ++i) {
    std::printf("%s\n  %s", i == 0 ? "" : ",", JsonRecord(records[i]).c_str());
  }
  std::printf("%s]\n", records.empty() ? "" : "\n");
}

}  // namespace

int RunScan(const Options& options) {
  RequireDeviceDirectory(options.device_directory);
  HardwareAPI::ScanOptions scan;
  scan.timeout = options.scan_timeout;
  scan.device_directory = options.device_directory;
  scan.sysfs_root = options.sysfs_root;
  const auto started = std::chrono::steady_clock::now();
  std::vector<ScanRecord> records;
  try {
    records = HardwareAPI::Scan(scan);
  } catch (const std::filesystem::filesystem_error& error) {
    throw CommandFailure("cannot read the device directory " + options.device_directory + ": " +
                         error.code().message());
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
  if (options.json) {
    PrintJson(records);
  } else if (records.empty()) {
    std::printf("no serial ports in %s (names with ttyACM, ttyUSB or rfcomm, or links in serial/by-id)\n",
                options.device_directory.c_str());
  } else {
    PrintTable(records);
    std::printf("%zu port%s scanned in %.2f s\n", records.size(), records.size() == 1 ? "" : "s", took.count());
  }
  return 0;
}

}  // namespace Tavix::Cli
