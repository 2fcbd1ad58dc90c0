#include "UninitialisedObjects.h"

#include <string>

namespace py = pybind11;

namespace Tavix::HardwareAPI::Python {

void RefuseUninitialised(py::handle source, const std::type_info& type) {
  const py::detail::type_info* info = py::detail::get_type_info(type);
  if (!source || info == nullptr || !PyObject_TypeCheck(source.ptr(), info->type)) return;
  auto* instance = reinterpret_cast<py::detail::instance*>(source.ptr());
  for (const py::detail::value_and_holder& part : py::detail::values_and_holders(instance)) {
    if (!part.holder_constructed()) {
      const std::string name = py::str(py::type::handle_of(source).attr("__name__"));
      throw py::type_error(name + " object was made without its constructor: create it as " + name +
                           "(...), not with " + name + ".__new__");
    }
  }
}

}  // namespace Tavix::HardwareAPI::Python
