#include <memory>

#include "Bindings.h"
#include "Tavix/HardwareAPI/IO/SerialStream.h"

namespace py = pybind11;

namespace Tavix::HardwareAPI::Python {

// The port name arrives as str (UTF-8), bytes or bytearray, or None for no name; it is
// cut at its first NUL. The port is opened during construction, with the interpreter
// lock released; a port that cannot be opened leaves a closed stream, without error.
void BindSerialStream(py::module_& module) {
  py::class_<IO::SerialStream>(module, "SerialStream")
      .def(py::init([](const char* port_name) {
             return std::make_unique<IO::SerialStream>(port_name, true);
           }),
           py::call_guard<py::gil_scoped_release>(), "Initialize the serial stream");
}

}  // namespace Tavix::HardwareAPI::Python
