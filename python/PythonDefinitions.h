#pragma once

#include <initializer_list>

#include <pybind11/eval.h>
#include <pybind11/pybind11.h>

namespace Tavix::HardwareAPI::Python {

/// Runs `source`, class definitions written in Python, as part of `module`: the classes
/// get the module's name, and those named in `exported` become its attributes. Returns
/// the namespace the source ran in.
inline pybind11::dict DefineInModule(pybind11::module_& module, const char* source,
                                     std::initializer_list<const char*> exported) {
  pybind11::dict scope;
  scope["__name__"] = module.attr("__name__");
  scope["__builtins__"] = pybind11::module_::import("builtins");
  pybind11::exec(source, scope);
  for (const char* name : exported) module.attr(name) = scope[name];
  return scope;
}

/// A new reference to `object`, for a class kept for the life of the process (the module
/// is never unloaded).
inline PyObject* KeepForever(const pybind11::object& object) { return object.inc_ref().ptr(); }

}  // namespace Tavix::HardwareAPI::Python
