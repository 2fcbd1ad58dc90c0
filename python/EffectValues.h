#pragma once

#include <string>
#include <vector>

#include "Tavix/HardwareAPI/Vector3.h"

// Argument checks and repr texts shared by the bound effects and shapes.
namespace Tavix::HardwareAPI::Python {

/// A vector parameter: exactly three numbers, else ValueError naming `parameter`.
Vector3 Three(const std::vector<float>& values, const char* parameter);

/// The shortest decimal that reads back as the same 32-bit float, written as Python
/// writes a float ("0.1", "200.0", "1e-05").
std::string Text(float value);
std::string Text(const Vector3& vector);

}  // namespace Tavix::HardwareAPI::Python
