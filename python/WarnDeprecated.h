#pragma once

#include <pybind11/pybind11.h>

namespace Tavix::HardwareAPI::Python {

/// Issues a DeprecationWarning with `message` at stack level 1, with the lock held and
/// before any I/O: a warning the caller's filters turn into an error ends the call here,
/// and nothing reaches the port.
inline void WarnDeprecated(const char* message) {
  if (PyErr_WarnEx(PyExc_DeprecationWarning, message, 1) != 0) throw pybind11::error_already_set();
}

}  // namespace Tavix::HardwareAPI::Python
