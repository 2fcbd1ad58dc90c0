#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/stl.h>

#include "Bindings.h"
#include "EffectValues.h"
#include "Tavix/HardwareAPI/Rendering/Scene.h"
#include "Tavix/HardwareAPI/Servo/ConstantForce.h"
#include "Tavix/HardwareAPI/Servo/Damper.h"
#include "Tavix/HardwareAPI/Servo/Effect.h"
#include "Tavix/HardwareAPI/Servo/Spring.h"
#include "Tavix/HardwareAPI/Servo/Wall.h"

namespace py = pybind11;

namespace Tavix::HardwareAPI::Python {
namespace {

using namespace Servo;

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

template <typename Kind>
using EffectClass = py::class_<Kind, Effect, std::shared_ptr<Kind>>;

// The repr of an effect: "Kind(name=value, ...)", with the values as Text writes them.
std::string Repr(const char* kind, std::initializer_list<std::pair<const char*, std::string>> fields) {
  std::string text = std::string(kind) + "(";
  const char* separator = "";
  for (const auto& [name, value] : fields) {
    text += separator + std::string(name) + "=" + value;
    separator = ", ";
  }
  return text + ")";
}

// A vector parameter, the `field` of the effect's parameters, set by `set`; a list of 3
// in Python.
template <typename Kind>
void DefVector(EffectClass<Kind>& effect, const char* name, Vector3 Kind::Parameters::*field,
               void (Kind::*set)(const Vector3&), const char* doc) {
  effect.def_property(
      name, [field](const Kind& kind) { return kind.Get().*field; },
      [name, set](Kind& kind, const std::vector<float>& values) { (kind.*set)(Three(values, name)); }, doc);
}

// The stiffness and the damping, which a spring and a wall both have.
template <typename Kind>
void DefStiffnessAndDamping(EffectClass<Kind>& effect) {
  effect
      .def_property(
          "stiffness", [](const Kind& kind) { return kind.Get().stiffness; }, &Kind::SetStiffness, "N/m, 0 or more.")
      .def_property(
          "damping", [](const Kind& kind) { return kind.Get().damping; }, &Kind::SetDamping, "N s/m, 0 or more.");
}

void BindSpring(py::module_& module) {
  EffectClass<Spring> spring(module, "Spring",
                             "A spring pulling the end effector towards `center` (m): force = stiffness x (center - "
                             "position) - damping x velocity, with stiffness in N/m and damping in N s/m.");
  spring
      .def(py::init([](const std::vector<float>& center, float stiffness, float damping) {
             return std::make_shared<Spring>(Three(center, "center"), stiffness, damping);
           }),
           py::arg("center"), py::arg("stiffness"), py::arg("damping") = 0.0f)
      .def(
          "set",
          [](Spring& self, const std::vector<float>& center, float stiffness, float damping) {
            self.Set({Three(center, "center"), stiffness, damping});
          },
          py::arg("center"), py::arg("stiffness"), py::arg("damping") = 0.0f, kSetDoc);
  DefVector(spring, "center", &Spring::Parameters::center, &Spring::SetCenter,
            "The point the spring pulls to (m), a list of 3.");
  DefStiffnessAndDamping(spring);
  spring.def("__repr__", [](const Spring& self) {
    const Spring::Parameters p = self.Get();
    return Repr("Spring", {{"center", Text(p.center)}, {"stiffness", Text(p.stiffness)}, {"damping", Text(p.damping)}});
  });
}

void BindDamper(py::module_& module) {
  py::class_<Damper, Effect, std::shared_ptr<Damper>>(
      module, "Damper", "Viscous damping everywhere: force = -damping x velocity, damping in N s/m.")
      .def(py::init([](float damping) { return std::make_shared<Damper>(damping); }), py::arg("damping"))
      .def("set", &Damper::SetDamping, py::arg("damping"), kSetDoc)
      .def_property("damping", &Damper::Damping, &Damper::SetDamping, "N s/m, 0 or more.")
      .def("__repr__", [](const Damper& damper) { return Repr("Damper", {{"damping", Text(damper.Damping())}}); });
}

void BindWall(py::module_& module) {
  EffectClass<Wall> wall(module, "Wall",
                         "A flat wall: the plane through `point` (m) with `normal`, which points out of the wall "
                         "towards the free side and is scaled to unit length. It pushes back only past the plane, "
                         "along the normal, with stiffness x depth - damping x (velocity . normal), and never pulls.");
  wall.def(py::init([](const std::vector<float>& point, const std::vector<float>& normal, float stiffness,
                       float damping) {
             return std::make_shared<Wall>(Three(point, "point"), Three(normal, "normal"), stiffness, damping);
           }),
           py::arg("point"), py::arg("normal"), py::arg("stiffness"), py::arg("damping") = 0.0f)
      .def(
          "set",
          [](Wall& self, const std::vector<float>& point, const std::vector<float>& normal, float stiffness,
             float damping) { self.Set({Three(point, "point"), Three(normal, "normal"), stiffness, damping}); },
          py::arg("point"), py::arg("normal"), py::arg("stiffness"), py::arg("damping") = 0.0f, kSetDoc);
  DefVector(wall, "point", &Wall::Parameters::point, &Wall::SetPoint, "A point of the wall's plane (m), a list of 3.");
  DefVector(wall, "normal", &Wall::Parameters::normal, &Wall::SetNormal,
            "The unit normal, out of the wall; set to any non-zero vector, it is scaled to unit length.");
  DefStiffnessAndDamping(wall);
  wall.def("__repr__", [](const Wall& self) {
    const Wall::Parameters p = self.Get();
    return Repr("Wall", {{"point", Text(p.point)},
                         {"normal", Text(p.normal)},
                         {"stiffness", Text(p.stiffness)},
                         {"damping", Text(p.damping)}});
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
      .def("__repr__",
           [](const ConstantForce& effect) { return Repr("ConstantForce", {{"force", Text(effect.Get())}}); });
}

}  // namespace

void BindServoEffects(py::module_& module) {
  py::class_<Effect, std::shared_ptr<Effect>>(module, "Effect", kEffectDoc)
      .def(
          "force_at",
          [](const Effect& effect, const std::vector<float>& position, const std::vector<float>& velocity) {
            // A scene's force moves its proxy: step() says so, and refuses while a loop renders it.
            if (dynamic_cast<const Rendering::Scene*>(&effect) != nullptr) {
              throw py::type_error("a Scene's force comes from step(position, dt), which also moves its proxy");
            }
            return effect.Force(Three(position, "position"), Three(velocity, "velocity"));
          },
          py::arg("position"), py::arg("velocity"),
          "The force in newtons this effect gives at `position` (m) moving at `velocity` (m/s), as a "
          "tick works it out, without a loop: for replaying a recording offline. A Scene's comes from "
          "step().");
  BindSpring(module);
  BindDamper(module);
  BindWall(module);
  BindConstantForce(module);
}

}  // namespace Tavix::HardwareAPI::Python
