#include <cerrno>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include <pybind11/stl.h>

#include "Bindings.h"
#include "DeviceErrors.h"
#include "Tavix/HardwareAPI/IO/Port.h"

namespace py = pybind11;

namespace Tavix::HardwareAPI::Python {
namespace {

using IO::Port;

constexpr const char* kPortDoc =
    "A serial port for a Morvek3 or a Handle, opened at construction, on which device "
    "operations raise instead of returning failure values: DeviceTimeoutError when the "
    "device does not answer in time, PortError when the port fails, hangs up or is "
    "closed, ProtocolError for a wrong reply. `timeout` is the devices' reply time-out "
    "in seconds (None: no limit). Closes on leaving a `with` block, on `close()`, or when "
    "garbage-collected. The interpreter lock is released around all its I/O. While a "
    "ServoLoop drives the arm on the port, the port is the loop's: every device call on it "
    "raises RuntimeError, sending nothing, and so do close() (and leaving a `with` block) "
    "and reset_input_buffer().";

// 0 stands for no limit in the library. A time-out below the shortest the library keeps
// is refused rather than lengthened behind the caller's back.
double TimeoutSeconds(const std::optional<double>& timeout) {
  if (!timeout) return 0.0;
  if (!(*timeout >= Port::kMinTimeout)) {
    throw py::value_error("timeout must be at least 1e-06 seconds (1 us), or None for no limit");
  }
  return *timeout;
}

std::optional<double> TimeoutValue(const Port& port) {
  const double seconds = port.Timeout();
  if (seconds > 0.0) return seconds;
  return std::nullopt;
}

py::object PathText(const Port& port) {
  return py::module_::import("os").attr("fsdecode")(py::bytes(port.PortPath()));
}

// The path as bytes, as the system call takes it: str, bytes or os.PathLike, encoded
// as the file system does (os.fsencode).
std::string PathBytes(const py::object& path) {
  const std::string bytes = py::module_::import("os").attr("fsencode")(path).cast<std::string>();
  if (bytes.find('\0') != std::string::npos) throw py::value_error("embedded null byte in the port path");
  return bytes;
}

std::unique_ptr<Port> OpenPort(const py::object& path, const std::optional<double>& timeout) {
  const std::string bytes = PathBytes(path);
  const double seconds = TimeoutSeconds(timeout);
  std::unique_ptr<Port> port;
  int failure = 0;
  {
    py::gil_scoped_release release;
    try {
      port = std::make_unique<Port>(bytes, seconds);
    } catch (const std::system_error& error) {
      failure = error.code().value();
    }
  }
  if (!port) RaisePortError(failure, "cannot open", bytes, true);
  return port;
}

void RequireOpen(const Port& port, const char* member) {
  if (!port.IsOpen()) RaisePortError(EBADF, std::string("Port.") + member + " on", port.PortPath(), false);
}

// While a servo loop drives the arm on the port, its descriptor and its input are the
// loop's: closing the port or dropping its input would pull them from under a tick.
void RequireNotDriven(const Port& port, const char* member) {
  if (!port.Driven()) return;
  const py::str text =
      py::str("Port.{} on {}: a servo loop drives the arm on this port: stop it first").format(member, PathText(port));
  PyErr_SetObject(PyExc_RuntimeError, text.ptr());
  throw py::error_already_set();
}

void Close(Port& port) {
  RequireNotDriven(port, "close");
  py::gil_scoped_release release;
  port.Close();
}

}  // namespace

void BindPort(py::module_& module) {
  py::class_<Port, IO::SerialStream>(module, "Port", kPortDoc)
      .def(py::init(&OpenPort), py::arg("path"), py::arg("timeout") = 5.0,
           "Open and configure the serial port `path` (115200 8N1 raw); raise PortError when it "
           "cannot be opened.")
      .def_property_readonly("path", &PathText, "The port's path.")
      .def_property_readonly("is_open", &Port::IsOpen, "True until the port is closed.")
      .def_property(
          "timeout", &TimeoutValue,
          [](Port& port, const std::optional<double>& timeout) { port.SetTimeout(TimeoutSeconds(timeout)); },
          "The reply time-out of the devices on this port, in seconds; None for no limit.")
      .def("close", &Close,
           "Close the port; closing a closed port does nothing. Later I/O raises PortError. "
           "RuntimeError while a ServoLoop drives the arm on the port: stop it first.")
      .def_property_readonly(
          "in_waiting",
          [](Port& port) {
            RequireOpen(port, "in_waiting");
            py::gil_scoped_release release;
            return port.Available();
          },
          "The number of received bytes not read yet.")
      .def(
          "reset_input_buffer",
          [](Port& port) {
            RequireOpen(port, "reset_input_buffer");
            RequireNotDriven(port, "reset_input_buffer");
            py::gil_scoped_release release;
            port.DiscardInput();
          },
          "Drop every received byte not read yet. RuntimeError while a ServoLoop drives the arm on "
          "the port.")
      .def("__enter__", [](const py::object& self) { return self; })
      .def(
          "__exit__",
          [](Port& port, const py::object&, const py::object&, const py::object&) { Close(port); },
          py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"))
      .def("__repr__", [](const py::object& self) {
        const Port& port = self.cast<const Port&>();
        const py::handle type = py::type::handle_of(self);
        return py::str("<{}.{} path={!r} {} timeout={!r}>")
            .format(type.attr("__module__"), type.attr("__qualname__"), PathText(port),
                    port.IsOpen() ? "open" : "closed", py::cast(TimeoutValue(port)));
      });
}

}  // namespace Tavix::HardwareAPI::Python
