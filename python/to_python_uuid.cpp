#include <iomanip>
#include <sstream>

#include "to_python_uuid.h"

namespace py = pybind11;

namespace Tavix::HardwareAPI::Python {

py::object to_python_uuid(const UUID& identifier) {
  std::ostringstream hex;
  hex << std::hex << std::setfill('0');
  for (const uint8_t byte : identifier.bytes) hex << std::setw(2) << static_cast<unsigned>(byte);
  return py::module_::import("uuid").attr("UUID")(py::arg("hex") = hex.str());
}

}  // namespace Tavix::HardwareAPI::Python
