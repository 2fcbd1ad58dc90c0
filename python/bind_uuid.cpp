#include <vector>

#include <pybind11/stl.h>

#include "Bindings.h"
#include "Tavix/HardwareAPI/UUID.h"

namespace py = pybind11;

namespace Tavix::HardwareAPI::Python {

void BindUUID(py::module_& module) {
  py::class_<UUID>(module, "UUID")
      .def(py::init<>())
      .def("bytes", [](const UUID& identifier) {
        return std::vector<uint8_t>(identifier.bytes.begin(), identifier.bytes.end());
      });
}

}  // namespace Tavix::HardwareAPI::Python
