#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "Bindings.h"
#include "DeviceErrors.h"
#include "PythonDefinitions.h"
#include "Tavix/HardwareAPI/Devices/DeviceError.h"

namespace py = pybind11;

namespace Tavix::HardwareAPI::Python {
namespace {

// The classes live as long as the process: the module is never unloaded.
PyObject* device_error = nullptr;
PyObject* device_timeout_error = nullptr;
PyObject* port_error = nullptr;
PyObject* protocol_error = nullptr;

const char* Hint(int error, bool opening) {
  if (opening) {
    switch (error) {
      case EACCES:
      case EPERM:
        return "your user may not open it: join the group that owns it, on Debian `sudo usermod -aG "
               "dialout $USER`, then log in again";
      case EBUSY:
      case EWOULDBLOCK:
        return "another program holds the port: `fuser -v` names it";
      default:
        return nullptr;
    }
  }
  switch (error) {
    case EIO:
      return "the device hung up or was unplugged";
    case EBADF:
      return "the port is closed";
    default:
      return nullptr;
  }
}

[[noreturn]] void Raise(PyObject* type, const py::object& exception) {
  PyErr_SetObject(type, exception.ptr());
  throw py::error_already_set();
}

[[noreturn]] void RaiseWithText(PyObject* type, const std::string& method, const std::string& path,
                                const std::string& problem) {
  Raise(type, Type(type)(py::str("{} on {}: {}").format(method, PathText(path), problem)));
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", seconds);
  return text;
}

}  // namespace

void RaisePortError(int error, const std::string& what, const std::string& path, bool opening) {
  const py::object filename = PathText(path);
  const char* strerror_text = std::strerror(error);
  py::object exception = Type(port_error)(error, strerror_text, filename);
  py::str text = py::str("{} {}: [{}] {}").format(what, filename, error, strerror_text);
  if (const char* hint = Hint(error, opening)) text = py::str("{} ({})").format(text, hint);
  exception.attr("_text") = text;
  Raise(port_error, exception);
}

void RaiseDeviceError(std::error_code error, const std::string& method, const std::string& path, double timeout) {
  if (error.category() == std::system_category()) RaisePortError(error.value(), method + " on", path, false);
  if (error == Devices::DeviceErrc::timed_out) {
    const std::string limit = timeout > 0.0 && std::isfinite(timeout) ? "within " + Seconds(timeout) : "in time";
    RaiseWithText(device_timeout_error, method, path, "no complete reply " + limit);
  }
  if (error == Devices::DeviceErrc::wrong_header) {
    RaiseWithText(protocol_error, method, path,
                  "the reply began with an unexpected header code; what came was dropped");
  }
  if (error == Devices::DeviceErrc::malformed_reply) RaiseWithText(protocol_error, method, path, "malformed reply");
  // Refused before any I/O (Device::Operation): not a failure of the port or the device,
  // but of the call, made while a servo loop owns the arm.
  if (error == std::make_error_code(std::errc::device_or_resource_busy)) {
    RaiseWithText(PyExc_RuntimeError, method, path, "a servo loop drives the arm: stop it before using the arm");
  }
  RaiseWithText(device_error, method, path, error.message());
}

void BindExceptions(py::module_& module) {
  // Written in Python (tavix/errors.py): a class with two built-in bases is what the
  // interpreter's own class statement makes best, on CPython and PyPy alike.
  ImportClasses(module, "tavix.errors",
                {{&device_error, "DeviceError"}, {&device_timeout_error, "DeviceTimeoutError"},
                 {&port_error, "PortError"}, {&protocol_error, "ProtocolError"}});
}

}  // namespace Tavix::HardwareAPI::Python
