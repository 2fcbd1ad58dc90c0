#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <pybind11/stl.h>

#include "Bindings.h"
#include "Tavix/HardwareAPI/Servo/ConstantForce.h"
#include "Tavix/HardwareAPI/Servo/Damper.h"
#include "Tavix/HardwareAPI/Servo/Effect.h"
#include "Tavix/HardwareAPI/Servo/Spring.h"
#include "Tavix/HardwareAPI/Servo/Wall.h"

namespace py = pybind11;

namespace Tavix::HardwareAPI::Python {
namespace {

using Servo::ConstantForce;
using Servo::Damper;
using Servo::Effect;
using Servo::Spring;
using Servo::Wall;

constexpr const char* kEffectDoc =
    "The base of the force effects a ServoLoop renders (Spring, Damper, Wall, ConstantForce). "
    "Each is computed in C++ on the loop's thread; its parameters may be set from any Python "
    "thread at any time, without locking the loop, and take effect from the next tick. Values "
    "that are not finite (and negative stiffness or damping) raise ValueError.";

constexpr const char* kSetDoc =
    "Sets every parameter at once, with the constructor's arguments: the loop's next tick sees "
    "either all the old values or all the new ones, never a mix (setting the properties one "
    "by one can show a tick a mix). Raises ValueError as the constructor does, leaving the "
    "parameters unchanged.";

// A vector parameter: exactly three numbers.
Vector3 Three(const std::vector<float>& values, const char* parameter) {
  if (values.size() != 3) {
    throw py::value_error(std::string(parameter) + " needs 3 values, got " + std::to_string(values.size()));
  }
  return {values[0], values[1], values[2]};
}

// The shortest decimal that reads back as the same 32-bit float, written as Python
// writes a float ("0.1", "200.0", "1e-05").
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

void BindSpring(py::module_& module) {
  py::class_<Spring, Effect, std::shared_ptr<Spring>>(
      module, "Spring",
      "A spring pulling the end effector towards `center` (m): force = stiffness x (center - "
      "position) - damping x velocity, with stiffness in N/m and damping in N s/m.")
      .def(py::init([](const std::vector<float>& center, float stiffness, float damping) {
             return std::make_shared<Spring>(Three(center, "center"), stiffness, damping);
           }),
           py::arg("center"), py::arg("stiffness"), py::arg("damping") = 0.0f)
      .def(
          "set",
          [](Spring& spring, const std::vector<float>& center, float stiffness, float damping) {
            spring.Set({Three(center, "center"), stiffness, damping});
          },
          py::arg("center"), py::arg("stiffness"), py::arg("damping") = 0.0f, kSetDoc)
      .def_property(
          "center", [](const Spring& spring) { return spring.Get().center; },
          [](Spring& spring, const std::vector<float>& center) { spring.SetCenter(Three(center, "center")); },
          "The point the spring pulls to (m), a list of 3.")
      .def_property(
          "stiffness", [](const Spring& spring) { return spring.Get().stiffness; }, &Spring::SetStiffness,
          "N/m, 0 or more.")
      .def_property(
          "damping", [](const Spring& spring) { return spring.Get().damping; }, &Spring::SetDamping,
          "N s/m, 0 or more.")
      .def("__repr__", [](const Spring& spring) {
        const Spring::Parameters p = spring.Get();
        return "Spring(center=" + Text(p.center) + ", stiffness=" + Text(p.stiffness) +
               ", damping=" + Text(p.damping) + ")";
      });
}

void BindDamper(py::module_& module) {
  py::class_<Damper, Effect, std::shared_ptr<Damper>>(
      module, "Damper", "Viscous damping everywhere: force = -damping x velocity, damping in N s/m.")
      .def(py::init([](float damping) { return std::make_shared<Damper>(damping); }), py::arg("damping"))
      .def("set", &Damper::SetDamping, py::arg("damping"), kSetDoc)
      .def_property("damping", &Damper::Damping, &Damper::SetDamping, "N s/m, 0 or more.")
      .def("__repr__", [](const Damper& damper) { return "Damper(damping=" + Text(damper.Damping()) + ")"; });
}

void BindWall(py::module_& module) {
  py::class_<Wall, Effect, std::shared_ptr<Wall>>(
      module, "Wall",
      "A flat wall: the plane through `point` (m) with `normal`, which points out of the wall "
      "towards the free side and is scaled to unit length. It pushes back only past the plane, "
      "along the normal, with stiffness x depth - damping x (velocity . normal), and never pulls.")
      .def(py::init([](const std::vector<float>& point, const std::vector<float>& normal, float stiffness,
                       float damping) {
             return std::make_shared<Wall>(Three(point, "point"), Three(normal, "normal"), stiffness, damping);
           }),
           py::arg("point"), py::arg("normal"), py::arg("stiffness"), py::arg("damping") = 0.0f)
      .def(
          "set",
          [](Wall& wall, const std::vector<float>& point, const std::vector<float>& normal, float stiffness,
             float damping) { wall.Set({Three(point, "point"), Three(normal, "normal"), stiffness, damping}); },
          py::arg("point"), py::arg("normal"), py::arg("stiffness"), py::arg("damping") = 0.0f, kSetDoc)
      .def_property(
          "point", [](const Wall& wall) { return wall.Get().point; },
          [](Wall& wall, const std::vector<float>& point) { wall.SetPoint(Three(point, "point")); },
          "A point of the wall's plane (m), a list of 3.")
      .def_property(
          "normal", [](const Wall& wall) { return wall.Get().normal; },
          [](Wall& wall, const std::vector<float>& normal) { wall.SetNormal(Three(normal, "normal")); },
          "The unit normal, out of the wall; set to any non-zero vector, it is scaled to unit length.")
      .def_property(
          "stiffness", [](const Wall& wall) { return wall.Get().stiffness; }, &Wall::SetStiffness,
          "N/m, 0 or more.")
      .def_property(
          "damping", [](const Wall& wall) { return wall.Get().damping; }, &Wall::SetDamping, "N s/m, 0 or more.")
      .def("__repr__", [](const Wall& wall) {
        const Wall::Parameters p = wall.Get();
        return "Wall(point=" + Text(p.point) + ", normal=" + Text(p.normal) + ", stiffness=" + Text(p.stiffness) +
               ", damping=" + Text(p.damping) + ")";
      });
}

void BindConstantForce(py::module_& module) {
  py::class_<ConstantForce, Effect, std::shared_ptr<ConstantForce>>(
      module, "ConstantForce", "The same force (N) everywhere, such as a weight to carry.")
      .def(py::init([](const std::vector<float>& force) { return std::make_shared<ConstantForce>(Three(force, "force")); }),
           py::arg("force"))
      .def(
          "set", [](ConstantForce& effect, const std::vector<float>& force) { effect.SetForce(Three(force, "force")); },
          py::arg("force"), kSetDoc)
      .def_property(
          "force", &ConstantForce::Get,
          [](ConstantForce& effect, const std::vector<float>& force) { effect.SetForce(Three(force, "force")); },
          "The force (N), a list of 3.")
      .def("__repr__", [](const ConstantForce& effect) { return "ConstantForce(force=" + Text(effect.Get()) + ")"; });
}

}  // namespace

void BindServoEffects(py::module_& module) {
  py::class_<Effect, std::shared_ptr<Effect>>(module, "Effect", kEffectDoc);
  BindSpring(module);
  BindDamper(module);
  BindWall(module);
  BindConstantForce(module);
}

}  // namespace Tavix::HardwareAPI::Python
