#include <string>
#include <vector>

#include <pybind11/stl.h>

#include "Bindings.h"
#include "Tavix/HardwareAPI/Discovery.h"

namespace py = pybind11;

namespace Tavix::HardwareAPI::Python {
namespace {

using Detection = std::vector<std::string> (*)();

}  // namespace

// Detection keeps the interpreter lock: its probe threads never enter the interpreter.
// Paths are decoded as strict UTF-8.
void BindDetection(py::module_& module) {
  module.def("detect_morvek3s", static_cast<Detection>(&DetectMorvek3s),
             "detect available morvek3 devices");
  module.def("detect_handles", static_cast<Detection>(&DetectHandles), "detect available handles");
  module.def("detect_wired_handles", static_cast<Detection>(&DetectWiredHandles),
             "detect available wired handles");
  module.def("detect_wireless_handles", static_cast<Detection>(&DetectWirelessHandles),
             "detect available wireless handles");
}

}  // namespace Tavix::HardwareAPI::Python
