#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <pybind11/stl.h>

#include "Bindings.h"
#include "PythonDefinitions.h"
#include "Tavix/HardwareAPI/Scan.h"
#include "to_python_uuid.h"

namespace py = pybind11;

namespace Tavix::HardwareAPI::Python {
namespace {

constexpr const char* kScanDoc =
    "Probe every serial port under `device_directory` (names with ttyACM, ttyUSB or rfcomm, "
    "and the links in serial/by-id) at once, each on a thread of its own, and return one "
    "ScanRecord per port, sorted by path. Each device is woken once and has `timeout` "
    "seconds to answer, so the scan takes about that long however many ports there are. "
    "A port another program (or this one) holds is reported busy and left alone. USB identities are read "
    "from sysfs under `sysfs_root`. Releases the interpreter lock while it scans.";

constexpr const char* kOpenArmDoc =
    "Find an arm and return a Morvek3 on a new Port (with the reply time-out `timeout`): "
    "the one whose identifier is `uuid` (a uuid.UUID or its text), or the only arm present "
    "when `uuid` is None. Scans the ports (`scan_timeout`, `device_directory`), or only "
    "`port` when given. Raises DeviceError, listing the ports seen, when no arm matches or "
    "several do, and PortError when the arm's port cannot be opened.";

constexpr const char* kOpenHandleDoc =
    "Find a handle and return a Handle on a new Port (with the reply time-out `timeout`): "
    "the one whose device id is `device_id`, or the only handle present when `device_id` "
    "is None. Scans the ports (`scan_timeout`, `device_directory`), or only `port` when "
    "given. A handle that answered with a status message has no known device id and "
    "matches only when `device_id` is None. Raises DeviceError, listing the ports seen, "
    "when no handle matches or several do, and PortError when the port cannot be opened.";

// The classes live as long as the process: the module is never unloaded.
PyObject* usb_identity_type = nullptr;
PyObject* arm_info_type = nullptr;
PyObject* handle_info_type = nullptr;
PyObject* scan_record_type = nullptr;

py::module_ Module() { return py::module_::import("TavixHardwareAPI"); }

std::string PathBytes(const py::object& path) {
  const std::string bytes = py::module_::import("os").attr("fsencode")(path).cast<std::string>();
  if (bytes.find('\0') != std::string::npos) throw py::value_error("embedded null byte in a path");
  return bytes;
}

// Text the system or a device made, which need not be UTF-8.
py::str Text(const std::string& text) {
  PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (decoded == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(decoded);
}

py::object OrNone(bool present, const py::object& value) { return present ? value : py::none(); }

py::object ToPython(const ScanRecord& record) {
  py::object arm = py::none();
  if (record.arm) {
    const Devices::DeviceInfo& info = *record.arm;
    arm = Type(arm_info_type)(info.device_id, info.device_model_number, info.hardware_version,
                              info.firmware_version, to_python_uuid(info.device_id_ext));
  }
  py::object handle = py::none();
  if (record.handle) {
    const Devices::HandleInfo& info = *record.handle;
    handle = Type(handle_info_type)(info.device_id, info.tool_data_remaining, info.device_model_number,
                                    info.hardware_version, info.firmware_version);
  }
  py::object usb = py::none();
  if (record.usb) {
    const UsbIdentity& identity = *record.usb;
    usb = Type(usb_identity_type)(identity.vendor_id, identity.product_id, Text(identity.serial_number),
                                  Text(identity.manufacturer), Text(identity.product));
  }
  return Type(scan_record_type)(PathText(record.path), PortFindingName(record.kind),
                                OrNone(!record.by_id.empty(), PathText(record.by_id)), arm, handle, usb,
                                OrNone(!record.note.empty(), Text(record.note)));
}

[[noreturn]] void RaiseListingError(const std::filesystem::filesystem_error& error) {
  const int code = error.code().category() == std::generic_category() ||
                           error.code().category() == std::system_category()
                       ? error.code().value()
                       : EIO;
  PyErr_SetObject(PyExc_OSError, py::make_tuple(code, Text(error.code().message()),
                                                PathText(error.path1().string()))
                                     .ptr());
  throw py::error_already_set();
}

// Scans the device directory, or probes only `port` when it is given; without the lock.
std::vector<ScanRecord> Look(const py::object& port, double timeout, const py::object& device_directory,
                             const py::object& sysfs_root) {
  if (!port.is_none()) {
    const std::string path = PathBytes(port);
    py::gil_scoped_release release;
    return {ScanPort(path, timeout)};
  }
  ScanOptions options;
  options.timeout = timeout;
  options.device_directory = PathBytes(device_directory);
  if (!sysfs_root.is_none()) options.sysfs_root = PathBytes(sysfs_root);
  try {
    py::gil_scoped_release release;
    return Scan(options);
  } catch (const std::filesystem::filesystem_error& error) {
    RaiseListingError(error);
  }
}

py::list Scanned(double timeout, const py::object& device_directory, const py::object& sysfs_root) {
  py::list records;
  for (const ScanRecord& record : Look(py::none(), timeout, device_directory, sysfs_root)) {
    records.append(ToPython(record));
  }
  return records;
}

// "/dev/ttyACM0 (arm, uuid ...)", for the message of a failed search.
py::str Describe(const ScanRecord& record) {
  std::string detail = PortFindingName(record.kind);
  if (record.arm) detail += ", uuid " + py::str(to_python_uuid(record.arm->device_id_ext)).cast<std::string>();
  if (record.handle) detail += ", device id " + std::to_string(record.handle->device_id);
  if (!record.note.empty()) detail += ": " + record.note;
  return py::str("{} ({})").format(PathText(record.path), Text(detail));
}

// Raises DeviceError for a search for a `device` ("arm") that `matches` ports answered
// (0, or more than one), listing the ports seen. `wanted` is what it was searched by
// ("uuid ..."), "" for any; `choose_by` the parameter that names one ("uuid").
[[noreturn]] void RaiseNoSingleMatch(const std::string& device, const std::string& wanted, const char* choose_by,
                                     std::size_t matches, const std::vector<ScanRecord>& seen,
                                     const py::object& device_directory) {
  const std::string searched = wanted.empty() ? device : device + " with " + wanted;
  std::string problem;
  if (matches == 0) {
    problem = "no " + searched + " found";
  } else {
    problem = std::to_string(matches) + " " + device + "s" + (wanted.empty() ? "" : " with " + wanted) +
              " found; name one with " + (wanted.empty() ? std::string(choose_by) + "= or " : "") + "port=";
  }
  py::str ports;
  if (seen.empty()) {
    ports = py::str("no serial ports in {}").format(py::module_::import("os").attr("fsdecode")(device_directory));
  } else {
    py::list described;
    for (const ScanRecord& record : seen) described.append(Describe(record));
    ports = py::str("ports seen: {}").format(py::str(", ").attr("join")(described));
  }
  PyErr_SetObject(Module().attr("DeviceError").ptr(), py::str("{}; {}").format(Text(problem), ports).ptr());
  throw py::error_already_set();
}

// The reply time-out of the Port to be opened, checked before any scan as Port checks it.
void RequireTimeout(const py::object& timeout) {
  if (!timeout.is_none() && !(py::float_(timeout).cast<double>() > 0.0)) {
    throw py::value_error("timeout must be above 0 seconds, or None for no limit");
  }
}

// A Port on the device's port and `device_class` on it.
py::object OpenOn(const ScanRecord& record, const py::object& timeout, const char* device_class) {
  const py::module_ module = Module();
  const py::object port = module.attr("Port")(py::bytes(record.path), timeout);
  return module.attr(device_class)(port);
}

std::optional<UUID> WantedUuid(const py::object& uuid) {
  if (uuid.is_none()) return std::nullopt;
  const py::object uuid_class = py::module_::import("uuid").attr("UUID");
  py::object parsed = uuid;
  if (py::isinstance<py::str>(uuid)) {
    parsed = uuid_class(uuid);
  } else if (!py::isinstance(uuid, uuid_class)) {
    throw py::type_error("uuid must be a uuid.UUID, its text, or None");
  }
  const std::string bytes = parsed.attr("bytes").cast<std::string>();
  UUID identifier;
  std::copy(bytes.begin(), bytes.end(), identifier.bytes.begin());
  return identifier;
}

py::object OpenArm(const py::object& uuid, const py::object& port, const py::object& timeout, double scan_timeout,
                   const py::object& device_directory) {
  const std::optional<UUID> wanted = WantedUuid(uuid);
  RequireTimeout(timeout);
  const std::vector<ScanRecord> seen = Look(port, scan_timeout, device_directory, py::none());
  std::vector<const ScanRecord*> matches;
  for (const ScanRecord& record : seen) {
    if (record.kind == PortFinding::Arm && (!wanted || record.arm->device_id_ext.bytes == wanted->bytes)) {
      matches.push_back(&record);
    }
  }
  if (matches.size() != 1) {
    const std::string text = wanted ? "uuid " + py::str(to_python_uuid(*wanted)).cast<std::string>() : "";
    RaiseNoSingleMatch("arm", text, "uuid", matches.size(), seen, device_directory);
  }
  return OpenOn(*matches.front(), timeout, "Morvek3");
}

py::object OpenHandle(const std::optional<long long>& device_id, const py::object& port, const py::object& timeout,
                      double scan_timeout, const py::object& device_directory) {
  if (device_id && (*device_id < 0 || *device_id > 0xFFFF)) throw py::value_error("device_id must be 0 to 65535");
  RequireTimeout(timeout);
  const std::vector<ScanRecord> seen = Look(port, scan_timeout, device_directory, py::none());
  std::vector<const ScanRecord*> matches;
  for (const ScanRecord& record : seen) {
    if (record.kind != PortFinding::Handle) continue;
    if (!device_id || (record.handle && record.handle->device_id == *device_id)) matches.push_back(&record);
  }
  if (matches.size() != 1) {
    const std::string text = device_id ? "device id " + std::to_string(*device_id) : "";
    RaiseNoSingleMatch("handle", text, "device_id", matches.size(), seen, device_directory);
  }
  return OpenOn(*matches.front(), timeout, "Handle");
}

}  // namespace

void BindScan(py::module_& module) {
  // The records are named tuples, written in Python (tavix/scan_records.py).
  ImportClasses(module, "tavix.scan_records",
                {{&usb_identity_type, "UsbIdentity"}, {&arm_info_type, "ArmInfo"},
                 {&handle_info_type, "HandleInfo"}, {&scan_record_type, "ScanRecord"}});

  const char* const dev = kDeviceDirectory;
  module.def("scan", &Scanned, py::arg("timeout") = ScanOptions::kDefaultTimeout, py::kw_only(),
             py::arg("device_directory") = dev, py::arg("sysfs_root") = kSysfsRoot, kScanDoc);
  module.def("open_arm", &OpenArm, py::arg("uuid") = py::none(), py::arg("port") = py::none(), py::kw_only(),
             py::arg("timeout") = 5.0, py::arg("scan_timeout") = ScanOptions::kDefaultTimeout,
             py::arg("device_directory") = dev, kOpenArmDoc);
  module.def("open_handle", &OpenHandle, py::arg("device_id") = py::none(), py::arg("port") = py::none(),
             py::kw_only(), py::arg("timeout") = 5.0, py::arg("scan_timeout") = ScanOptions::kDefaultTimeout,
             py::arg("device_directory") = dev, kOpenHandleDoc);
}

}  // namespace Tavix::HardwareAPI::Python
