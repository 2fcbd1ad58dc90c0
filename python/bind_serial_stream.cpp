#include <memory>
#include <optional>
#include <string>

#include "Bindings.h"
#include "Tavix/HardwareAPI/IO/SerialStream.h"

namespace py = pybind11;

namespace Tavix::HardwareAPI::Python {
namespace {

// A port name as Python gives it: str (UTF-8), bytes or bytearray, or None for no name.
struct PortName {
  std::optional<std::string> bytes;
};

}  // namespace
}  // namespace Tavix::HardwareAPI::Python

namespace pybind11::detail {

// Takes what the `str` argument of a C string takes, keeping every byte, so that a name
// with a NUL can be refused instead of cut short. Shown as `str` in signatures.
template <>
struct type_caster<Tavix::HardwareAPI::Python::PortName> {
  PYBIND11_TYPE_CASTER(Tavix::HardwareAPI::Python::PortName, const_name("str"));

  bool load(handle source, bool convert) {
    if (!source) return false;
    if (source.is_none()) {
      value.bytes.reset();
      return true;
    }
    make_caster<std::string> text;
    if (!text.load(source, convert)) return false;
    value.bytes = cast_op<std::string&&>(std::move(text));
    return true;
  }
};

}  // namespace pybind11::detail

namespace Tavix::HardwareAPI::Python {

// The port is opened during construction, with the interpreter lock released; a port
// that cannot be opened leaves a closed stream, without error. A name with a NUL would
// open another port than the one named: ValueError, as for Port.
void BindSerialStream(py::module_& module) {
  py::class_<IO::SerialStream>(module, "SerialStream")
      .def(py::init([](const PortName& name) {
             if (name.bytes && name.bytes->find('\0') != std::string::npos) {
               throw py::value_error("embedded null byte in the port path");
             }
             const py::gil_scoped_release release;
             return std::make_unique<IO::SerialStream>(name.bytes ? name.bytes->c_str() : nullptr, true);
           }),
           "Initialize the serial stream");
}

}  // namespace Tavix::HardwareAPI::Python
