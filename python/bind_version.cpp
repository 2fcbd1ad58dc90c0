#include "Bindings.h"
#include "Tavix/HardwareAPI/Version.h"

namespace py = pybind11;

namespace Tavix::HardwareAPI::Python {

void BindVersionFunctions(py::module_& module) {
  module.def("get_cpp_version", &GetLibraryVersion, "Get the version of the CPP library");
  // Prints through the C++ standard output stream (file descriptor 1), not sys.stdout.
  module.def("print_cpp_version", &PrintLibraryVersion, "Print the version of the CPP library");
}

}  // namespace Tavix::HardwareAPI::Python
