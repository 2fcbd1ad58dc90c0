#include "Tavix/HardwareAPI/Rendering/Shape.h"

#include <utility>

#include "Geometry.h"
#include "Inputs.h"

namespace Tavix::HardwareAPI::Rendering {
namespace {

Rotation UnitRotation(const Rotation& rotation) {
  double squared = 0.0;
  for (const float value : rotation) squared += CheckedFinite(value, "the rotation") * value;
  const double length = std::sqrt(squared);
  if (!(length > 0.0) || !std::isfinite(length)) throw std::invalid_argument("the rotation must not be of length 0");
  Rotation unit;
  for (std::size_t i = 0; i < unit.size(); ++i) unit[i] = static_cast<float>(rotation[i] / length);
  return unit;
}

const Vector3& CheckedPosition(const Vector3& position) {
  CheckedPoint(position, "the position");
  return position;
}

Pose CheckedPose(const Pose& pose) { return {CheckedPosition(pose.position), UnitRotation(pose.rotation)}; }

float NotNegative(float value, const char* name) {
  if (CheckedFinite(value, name) < 0.0) throw std::invalid_argument(std::string(name) + " must not be negative");
  return value;
}

Material CheckedMaterial(const Material& material) {
  NotNegative(material.stiffness, "stiffness");
  NotNegative(material.damping, "damping");
  NotNegative(material.static_friction, "static friction");
  NotNegative(material.dynamic_friction, "dynamic friction");
  if (material.dynamic_friction > material.static_friction) {
    throw std::invalid_argument("dynamic friction must not be above static friction");
  }
  return material;
}

}  // namespace

Shape::Shape(std::shared_ptr<const Geometry> geometry, const Pose& pose, const Material& material)
    : geometry_(std::move(geometry)), pose_(CheckedPose(pose)), material_(CheckedMaterial(material)) {}

Shape::~Shape() = default;

void Shape::SetPose(const Pose& pose) { pose_.Store(CheckedPose(pose)); }

void Shape::SetPosition(const Vector3& position) {
  CheckedPosition(position);
  pose_.Update([&](Pose& pose) { pose.position = position; });
}

void Shape::SetRotation(const Rotation& rotation) {
  const Rotation unit = UnitRotation(rotation);
  pose_.Update([&](Pose& pose) { pose.rotation = unit; });
}

void Shape::SetMaterial(const Material& material) { material_.Store(CheckedMaterial(material)); }

}  // namespace Tavix::HardwareAPI::Rendering
