#include "Bindings.h"
#include "Tavix/HardwareAPI/Devices/Device.h"

namespace py = pybind11;

namespace Tavix::HardwareAPI::Python {

// A named type only: no constructor, no members, and not a Python base of the devices.
void BindDevice(py::module_& module) { py::class_<Devices::Device>(module, "Device"); }

}  // namespace Tavix::HardwareAPI::Python
