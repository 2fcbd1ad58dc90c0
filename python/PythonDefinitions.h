#pragma once

#include <pybind11/pybind11.h>

namespace Tavix::HardwareAPI::Python {

/// Makes the class `name` of `package` (a module of the pure-Python package tavix,
/// installed beside this module) an attribute of `module`, where users find it, and
/// returns a new reference to it, for a binding that builds or raises it. The reference
/// is kept for the life of the process: the module is never unloaded.
inline PyObject* ImportClass(pybind11::module_& module, const pybind11::module_& package, const char* name) {
  pybind11::object type = package.attr(name);
  module.attr(name) = type;
  return type.release().ptr();
}

}  // namespace Tavix::HardwareAPI::Python
