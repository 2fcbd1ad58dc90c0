#pragma once

#include <initializer_list>
#include <string>
#include <utility>

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

/// ImportClass for each of `classes` of the tavix package's module `package`: each is a
/// place to keep the reference in, and the class's name.
inline void ImportClasses(pybind11::module_& module, const char* package,
                          std::initializer_list<std::pair<PyObject**, const char*>> classes) {
  const pybind11::module_ imported = pybind11::module_::import(package);
  for (const auto& [kept, name] : classes) *kept = ImportClass(module, imported, name);
}

/// A class kept by ImportClass, as an object to call or to raise.
inline pybind11::object Type(PyObject* type) { return pybind11::reinterpret_borrow<pybind11::object>(type); }

/// `path` as Python shows file names: decoded like os.fsdecode, so that any bytes pass.
inline pybind11::object PathText(const std::string& path) {
  return pybind11::module_::import("os").attr("fsdecode")(pybind11::bytes(path));
}

}  // namespace Tavix::HardwareAPI::Python
