#include <string>
#include <vector>

#include <pybind11/stl.h>

#include "Bindings.h"
#include "LogRouting.h"
#include "Tavix/HardwareAPI/Discovery.h"

namespace py = pybind11;

namespace Tavix::HardwareAPI::Python {
namespace {

using Detection = std::vector<std::string> (*)();

}  // namespace

// Detection keeps the interpreter lock: its probe threads never enter the interpreter,
// and the lines they log reach Python's logging (when routed there) as the call returns.
// Paths are decoded as strict UTF-8.
void BindDetection(py::module_& module) {
  using DeliverLogLines = py::call_guard<QueuedLogLines>;
  module.def("detect_morvek3s", static_cast<Detection>(&DetectMorvek3s), DeliverLogLines(),
             "detect available morvek3 devices");
  module.def("detect_handles", static_cast<Detection>(&DetectHandles), DeliverLogLines(),
             "detect available handles");
  module.def("detect_wired_handles", static_cast<Detection>(&DetectWiredHandles), DeliverLogLines(),
             "detect available wired handles");
  module.def("detect_wireless_handles", static_cast<Detection>(&DetectWirelessHandles), DeliverLogLines(),
             "detect available wireless handles");
}

}  // namespace Tavix::HardwareAPI::Python
