#include <cmath>
#include <stdexcept>
#include <string>

#include "Tavix/HardwareAPI/Servo/ConstantForce.h"
#include "Tavix/HardwareAPI/Servo/Damper.h"
#include "Tavix/HardwareAPI/Servo/Spring.h"
#include "Tavix/HardwareAPI/Servo/Wall.h"

namespace Tavix::HardwareAPI::Servo {
namespace {

float Finite(float value, const char* name) {
  if (!std::isfinite(value)) throw std::invalid_argument(std::string(name) + " must be a finite number");
  return value;
}

float NotNegative(float value, const char* name) {
  if (Finite(value, name) < 0.0f) throw std::invalid_argument(std::string(name) + " must not be negative");
  return value;
}

const Vector3& Finite(const Vector3& vector, const char* name) {
  for (const float value : vector) Finite(value, name);
  return vector;
}

float Dot(const Vector3& a, const Vector3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

Vector3 UnitNormal(const Vector3& normal) {
  Finite(normal, "the normal");
  const double length = std::sqrt(static_cast<double>(normal[0]) * normal[0] +
                                  static_cast<double>(normal[1]) * normal[1] +
                                  static_cast<double>(normal[2]) * normal[2]);
  if (!(length > 0.0) || !std::isfinite(length)) throw std::invalid_argument("the normal must not be of length 0");
  return {static_cast<float>(normal[0] / length), static_cast<float>(normal[1] / length),
          static_cast<float>(normal[2] / length)};
}

Spring::Parameters CheckedSpring(const Spring::Parameters& parameters) {
  Finite(parameters.center, "the center");
  NotNegative(parameters.stiffness, "stiffness");
  NotNegative(parameters.damping, "damping");
  return parameters;
}

Wall::Parameters CheckedWall(Wall::Parameters parameters) {
  Finite(parameters.point, "the point");
  parameters.normal = UnitNormal(parameters.normal);
  NotNegative(parameters.stiffness, "stiffness");
  NotNegative(parameters.damping, "damping");
  return parameters;
}

// Changes one field of an effect's parameters, checked already, leaving the others.
template <typename Parameters, typename Field>
void SetField(ParameterBlock<Parameters>& block, Field Parameters::*field, const Field& value) {
  block.Update([&](Parameters& parameters) { parameters.*field = value; });
}

// The stiffness and the damping, which a spring and a wall both have.
template <typename Parameters>
void StoreStiffness(ParameterBlock<Parameters>& block, float stiffness) {
  SetField(block, &Parameters::stiffness, NotNegative(stiffness, "stiffness"));
}

template <typename Parameters>
void StoreDamping(ParameterBlock<Parameters>& block, float damping) {
  SetField(block, &Parameters::damping, NotNegative(damping, "damping"));
}

}  // namespace

// --- Spring ----------------------------------------------------------------------------

Spring::Spring(const Vector3& center, float stiffness, float damping)
    : parameters_(CheckedSpring({center, stiffness, damping})) {}

void Spring::Set(const Parameters& parameters) { parameters_.Store(CheckedSpring(parameters)); }

void Spring::SetCenter(const Vector3& center) {
  SetField(parameters_, &Parameters::center, Finite(center, "the center"));
}

void Spring::SetStiffness(float stiffness) { StoreStiffness(parameters_, stiffness); }

void Spring::SetDamping(float damping) { StoreDamping(parameters_, damping); }

Vector3 Spring::Force(const Vector3& position, const Vector3& velocity) const noexcept {
  const Parameters p = parameters_.Load();
  Vector3 force;
  for (std::size_t i = 0; i < 3; ++i) force[i] = p.stiffness * (p.center[i] - position[i]) - p.damping * velocity[i];
  return force;
}

// --- Damper ----------------------------------------------------------------------------

Damper::Damper(float damping) : damping_(NotNegative(damping, "damping")) {}

void Damper::SetDamping(float damping) { damping_.Store(NotNegative(damping, "damping")); }

Vector3 Damper::Force(const Vector3&, const Vector3& velocity) const noexcept {
  const float damping = damping_.Load();
  return {-damping * velocity[0], -damping * velocity[1], -damping * velocity[2]};
}

// --- Wall ------------------------------------------------------------------------------

Wall::Wall(const Vector3& point, const Vector3& normal, float stiffness, float damping)
    : parameters_(CheckedWall({point, normal, stiffness, damping})) {}

void Wall::Set(const Parameters& parameters) { parameters_.Store(CheckedWall(parameters)); }

void Wall::SetPoint(const Vector3& point) {
  SetField(parameters_, &Parameters::point, Finite(point, "the point"));
}

void Wall::SetNormal(const Vector3& normal) {
  SetField(parameters_, &Parameters::normal, UnitNormal(normal));
}

void Wall::SetStiffness(float stiffness) { StoreStiffness(parameters_, stiffness); }

void Wall::SetDamping(float damping) { StoreDamping(parameters_, damping); }

Vector3 Wall::Force(const Vector3& position, const Vector3& velocity) const noexcept {
  const Parameters p = parameters_.Load();
  const Vector3 offset{position[0] - p.point[0], position[1] - p.point[1], position[2] - p.point[2]};
  const float depth = -Dot(offset, p.normal);
  if (!(depth > 0.0f)) return {0.0f, 0.0f, 0.0f};
  const float push = p.stiffness * depth - p.damping * Dot(velocity, p.normal);
  if (!(push > 0.0f)) return {0.0f, 0.0f, 0.0f};
  return {push * p.normal[0], push * p.normal[1], push * p.normal[2]};
}

// --- ConstantForce ---------------------------------------------------------------------

ConstantForce::ConstantForce(const Vector3& force) : force_(Finite(force, "the force")) {}

void ConstantForce::SetForce(const Vector3& force) { force_.Store(Finite(force, "the force")); }

Vector3 ConstantForce::Force(const Vector3&, const Vector3&) const noexcept { return force_.Load(); }

}  // namespace Tavix::HardwareAPI::Servo
