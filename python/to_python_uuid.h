#pragma once

#include <pybind11/pybind11.h>

#include "Tavix/HardwareAPI/UUID.h"

namespace Tavix::HardwareAPI::Python {

/// A new Python uuid.UUID holding the 16 bytes of `identifier` in order: made by
/// uuid.UUID(hex=...) from 32 lowercase hex digits. Needs the interpreter lock; errors
/// of the import or the call propagate as Python exceptions.
pybind11::object to_python_uuid(const UUID& identifier);

}  // namespace Tavix::HardwareAPI::Python
