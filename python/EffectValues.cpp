#include "EffectValues.h"

#include <cstdio>
#include <cstdlib>

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace Tavix::HardwareAPI::Python {

Vector3 Three(const std::vector<float>& values, const char* parameter) {
  if (values.size() != 3) {
    throw py::value_error(std::string(parameter) + " needs 3 values, got " + std::to_string(values.size()));
  }
  return {values[0], values[1], values[2]};
}

std::string Text(float value) {
  char text[32];
  for (int digits = 1; digits <= 9; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(value));
    if (std::strtof(text, nullptr) == value) break;
  }
  return py::repr(py::float_(std::strtod(text, nullptr))).cast<std::string>();
}

std::string Text(const Vector3& vector) {
  return "[" + Text(vector[0]) + ", " + Text(vector[1]) + ", " + Text(vector[2]) + "]";
}

}  // namespace Tavix::HardwareAPI::Python
