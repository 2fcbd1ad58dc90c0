#include <Python.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "Bindings.h"
#include "EffectValues.h"
#include "Tavix/HardwareAPI/Rendering/Box.h"
#include "Tavix/HardwareAPI/Rendering/Capsule.h"
#include "Tavix/HardwareAPI/Rendering/Mesh.h"
#include "Tavix/HardwareAPI/Rendering/Plane.h"
#include "Tavix/HardwareAPI/Rendering/ProxyState.h"
#include "Tavix/HardwareAPI/Rendering/Scene.h"
#include "Tavix/HardwareAPI/Rendering/Sphere.h"

namespace py = pybind11;

namespace Tavix::HardwareAPI::Python {
namespace {

using namespace Rendering;
using Shapes = std::vector<std::shared_ptr<Shape>>;

constexpr const char* kShapeDoc =
    "The base of the solids a Scene renders (Sphere, Box, Plane, Capsule, Mesh): a surface fixed in "
    "the shape's own frame, placed by a pose (position in m, rotation as a unit quaternion x, y, z, w, "
    "the order of SciPy's Rotation.as_quat()) and felt through a Material. The pose and the material "
    "may be set from any thread while a loop renders the shape; moving a shape carries the proxy "
    "resting on it. Values that are not finite raise ValueError.";

constexpr const char* kSceneDoc =
    "An effect that renders shapes through a proxy (a god-object): a point that stays on the "
    "surface while the end effector goes in, joined to it by a spring-damper with the touched "
    "shape's material, with friction. Shapes may be added, removed and moved while a ServoLoop "
    "renders the scene (loop.add(scene)). step() runs the same computation offline.";

Rotation Four(const std::vector<float>& values) {
  if (values.size() != 4) {
    throw py::value_error("rotation needs 4 values (a quaternion x, y, z, w), got " + std::to_string(values.size()));
  }
  return {values[0], values[1], values[2], values[3]};
}

// Rows of three numbers, from a numpy array of any numeric type (copied at once) or from
// any sequence of sequences.
template <typename T>
std::vector<std::array<T, 3>> Rows(const py::object& rows, const char* name) {
  const bool numpy_loaded = py::module_::import("sys").attr("modules").contains("numpy");
  if (numpy_loaded && PyObject_CheckBuffer(rows.ptr())) {
    const auto array = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(rows);
    if (!array) throw py::type_error(std::string(name) + " must hold numbers");
    if (array.ndim() != 2 || array.shape(1) != 3) throw py::value_error(std::string(name) + " needs rows of 3 values");
    std::vector<std::array<T, 3>> copied(static_cast<std::size_t>(array.shape(0)));
    if (!copied.empty()) std::memcpy(copied.data(), array.data(), copied.size() * sizeof copied[0]);
    return copied;
  }
  return rows.cast<std::vector<std::array<T, 3>>>();
}

std::vector<Vector3> Vertices(const py::object& rows) {
  std::vector<Vector3> vertices;
  for (const auto& row : Rows<float>(rows, "vertices")) vertices.push_back(row);
  return vertices;
}

std::vector<std::array<std::uint32_t, 3>> Triangles(const py::object& rows) {
  std::vector<std::array<std::uint32_t, 3>> triangles;
  for (const auto& row : Rows<std::int64_t>(rows, "triangles")) {
    std::array<std::uint32_t, 3> triangle{};
    for (std::size_t i = 0; i < 3; ++i) {
      if (row[i] < 0 || row[i] > UINT32_MAX) throw py::value_error("a triangle index is out of range");
      triangle[i] = static_cast<std::uint32_t>(row[i]);
    }
    triangles.push_back(triangle);
  }
  return triangles;
}

std::string MaterialText(const Material& m) {
  return "Material(stiffness=" + Text(m.stiffness) + ", damping=" + Text(m.damping) +
         ", static_friction=" + Text(m.static_friction) + ", dynamic_friction=" + Text(m.dynamic_friction) + ")";
}

std::string PoseText(const Shape& shape) {
  const Pose pose = shape.GetPose();
  return "position=" + Text(pose.position) + ", rotation=[" + Text(pose.rotation[0]) + ", " + Text(pose.rotation[1]) +
         ", " + Text(pose.rotation[2]) + ", " + Text(pose.rotation[3]) + "]";
}

void BindMaterial(py::module_& module) {
  py::class_<Material>(module, "Material",
                       "How a shape feels: the coupling's stiffness (N/m) and damping (N s/m, along the "
                       "contact normal), and friction coefficients. The proxy sticks until the sideways "
                       "force exceeds static_friction x the normal force, then slides against "
                       "dynamic_friction x the normal force. Immutable: give a shape a new one.")
      .def(py::init([](float stiffness, float damping, float static_friction, float dynamic_friction) {
             return Material{stiffness, damping, static_friction, dynamic_friction};
           }),
           py::kw_only(), py::arg("stiffness") = Material{}.stiffness, py::arg("damping") = 0.0f,
           py::arg("static_friction") = 0.0f, py::arg("dynamic_friction") = 0.0f)
      .def_property_readonly("stiffness", [](const Material& m) { return m.stiffness; })
      .def_property_readonly("damping", [](const Material& m) { return m.damping; })
      .def_property_readonly("static_friction", [](const Material& m) { return m.static_friction; })
      .def_property_readonly("dynamic_friction", [](const Material& m) { return m.dynamic_friction; })
      .def("__eq__",
           [](const Material& a, const Material& b) {
             return a.stiffness == b.stiffness && a.damping == b.damping && a.static_friction == b.static_friction &&
                    a.dynamic_friction == b.dynamic_friction;
           })
      .def("__repr__", [](const Material& m) { return MaterialText(m); });
}

void BindShape(py::module_& module) {
  py::class_<Shape, std::shared_ptr<Shape>>(module, "Shape", kShapeDoc)
      .def_property(
          "position", [](const Shape& shape) { return shape.GetPose().position; },
          [](Shape& shape, const std::vector<float>& position) { shape.SetPosition(Three(position, "position")); },
          "The shape's origin in the scene (m), a list of 3.")
      .def_property(
          "rotation", [](const Shape& shape) { return shape.GetPose().rotation; },
          [](Shape& shape, const std::vector<float>& rotation) { shape.SetRotation(Four(rotation)); },
          "A unit quaternion x, y, z, w; set to any non-zero one, it is scaled to unit length.")
      .def(
          "set_pose",
          [](Shape& shape, const std::vector<float>& position, const std::vector<float>& rotation) {
            shape.SetPose({Three(position, "position"), Four(rotation)});
          },
          py::arg("position"), py::arg("rotation"),
          "Sets the position and the rotation at once: a tick sees both old or both new.")
      .def_property("material", &Shape::GetMaterial, &Shape::SetMaterial,
                    "The shape's Material; raises ValueError for negative or non-finite values, or a "
                    "dynamic friction above the static one.");
}

void BindPrimitives(py::module_& module) {
  const Material plain{};
  py::class_<Sphere, Shape, std::shared_ptr<Sphere>>(module, "Sphere", "A ball of `radius` (m) around `center`.")
      .def(py::init([](const std::vector<float>& center, float radius, const Material& material) {
             return std::make_shared<Sphere>(Three(center, "center"), radius, material);
           }),
           py::arg("center"), py::arg("radius"), py::arg("material") = plain)
      .def_property_readonly("radius", &Sphere::Radius)
      .def("__repr__", [](const Sphere& s) { return "Sphere(" + PoseText(s) + ", radius=" + Text(s.Radius()) + ")"; });
  py::class_<Box, Shape, std::shared_ptr<Box>>(module, "Box",
                                                "A box of `half_extents` (m) around `center`, turned by `rotation`.")
      .def(py::init([](const std::vector<float>& center, const std::vector<float>& half_extents,
                       const std::vector<float>& rotation, const Material& material) {
             return std::make_shared<Box>(Three(center, "center"), Three(half_extents, "half_extents"), Four(rotation),
                                          material);
           }),
           py::arg("center"), py::arg("half_extents"), py::arg("rotation") = std::vector<float>{0.0f, 0.0f, 0.0f, 1.0f},
           py::arg("material") = plain)
      .def_property_readonly("half_extents", &Box::HalfExtents)
      .def("__repr__",
           [](const Box& b) { return "Box(" + PoseText(b) + ", half_extents=" + Text(b.HalfExtents()) + ")"; });
  py::class_<Plane, Shape, std::shared_ptr<Plane>>(
      module, "Plane", "The solid half-space behind the plane through `point` with outward `normal`.")
      .def(py::init([](const std::vector<float>& point, const std::vector<float>& normal, const Material& material) {
             return std::make_shared<Plane>(Three(point, "point"), Three(normal, "normal"), material);
           }),
           py::arg("point"), py::arg("normal"), py::arg("material") = plain)
      .def_property_readonly("normal", &Plane::Normal, "The outward unit normal, as the pose turns it.")
      .def("__repr__", [](const Plane& p) { return "Plane(" + PoseText(p) + ", normal=" + Text(p.Normal()) + ")"; });
  py::class_<Capsule, Shape, std::shared_ptr<Capsule>>(
      module, "Capsule", "The points within `radius` (m) of the segment from `a` to `b`.")
      .def(py::init([](const std::vector<float>& a, const std::vector<float>& b, float radius,
                       const Material& material) {
             return std::make_shared<Capsule>(Three(a, "a"), Three(b, "b"), radius, material);
           }),
           py::arg("a"), py::arg("b"), py::arg("radius"), py::arg("material") = plain)
      .def_property_readonly("radius", &Capsule::Radius)
      .def("__repr__",
           [](const Capsule& c) { return "Capsule(" + PoseText(c) + ", radius=" + Text(c.Radius()) + ")"; });
}

void BindMesh(py::module_& module) {
  py::class_<Mesh, Shape, std::shared_ptr<Mesh>>(
      module, "Mesh",
      "A solid bounded by triangles: `vertices` (m) and `triangles` (indices into them), numpy arrays "
      "of shape (n, 3) or lists of 3-lists, counter-clockwise seen from outside. Open meshes are "
      "felt from their front side only. Its search tree is built here, not on the loop's thread.")
      .def(py::init([](const py::object& vertices, const py::object& triangles, const Material& material) {
             auto points = Vertices(vertices);
             auto corners = Triangles(triangles);
             py::gil_scoped_release release;
             return std::make_shared<Mesh>(std::move(points), std::move(corners), material);
           }),
           py::arg("vertices"), py::arg("triangles"), py::arg("material") = Material{})
      .def_property_readonly("triangle_count", &Mesh::TriangleCount)
      .def("__repr__", [](const Mesh& m) {
        return "Mesh(" + PoseText(m) + ", triangle_count=" + std::to_string(m.TriangleCount()) + ")";
      });
  // Reading files is Python's (tavix.meshes, through trimesh): a static method of Mesh.
  module.attr("Mesh").attr("from_file") =
      py::module_::import("builtins").attr("staticmethod")(py::module_::import("tavix.meshes").attr("from_file"));
}

void BindProxyState(py::module_& module) {
  py::class_<ProxyState>(module, "ProxyState", "Where a Scene's proxy is, and what it touches.")
      .def_property_readonly("position", [](const ProxyState& p) { return p.position; }, "m, a list of 3.")
      .def_property_readonly("in_contact", [](const ProxyState& p) { return p.in_contact; })
      .def_property_readonly(
          "shape", [](const ProxyState& p) { return p.shape; }, "The shape touched, or None.")
      .def_property_readonly(
          "normal", [](const ProxyState& p) { return p.normal; }, "The contact's outward unit normal; zeros if none.")
      .def("__repr__", [](const ProxyState& p) {
        return "ProxyState(position=" + Text(p.position) + ", in_contact=" + (p.in_contact ? "True" : "False") +
               ", shape=" + py::repr(py::cast(p.shape)).cast<std::string>() + ", normal=" + Text(p.normal) + ")";
      });
}

void BindScene(py::module_& module) {
  py::class_<Scene, Servo::Effect, std::shared_ptr<Scene>>(module, "Scene", kSceneDoc)
      .def(py::init([](const Shapes& shapes) {
             auto scene = std::make_shared<Scene>();
             for (const auto& shape : shapes) scene->Add(shape);
             return scene;
           }),
           py::arg("shapes") = Shapes{})
      .def("add", &Scene::Add, py::arg("shape").none(false), "Adds a shape, from the next tick on; False if it is there already.")
      .def("remove", &Scene::Remove, py::arg("shape").none(false), "Removes a shape; False if it is not there.")
      .def("clear", &Scene::Clear, "Removes every shape.")
      .def_property_readonly(
          "shapes", [](const Scene& scene) { return py::tuple(py::cast(scene.Shapes())); }, "In the order added.")
      .def("proxy", &Scene::Proxy, "The proxy as the last tick (or step) left it.")
      .def(
          "step",
          [](Scene& scene, const std::vector<float>& position, double dt) {
            return scene.Step(Three(position, "position"), dt);
          },
          py::arg("position"), py::arg("dt"),
          "The force (N) for the end effector at `position` (m), `dt` s after the previous step: the "
          "loop's computation, offline, for tests, design tools and replays. Not for a scene a loop renders.")
      .def("reset", &Scene::Reset, "The proxy lets go of any contact and follows the end effector.")
      .def("__repr__", [](const Scene& scene) { return "Scene(" + std::to_string(scene.Shapes().size()) + " shapes)"; });
}

}  // namespace

void BindRendering(py::module_& module) {
  BindMaterial(module);
  BindShape(module);
  BindPrimitives(module);
  BindMesh(module);
  BindProxyState(module);
  BindScene(module);
}

}  // namespace Tavix::HardwareAPI::Python
