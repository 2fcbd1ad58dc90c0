#include "ArmModel.h"

#include <algorithm>
#include <cmath>

namespace Tavix::Simulator {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegreesPerRadian = 180.0 / kPi;

// PD gains: roughly critically damped with the joint inertia above.
constexpr double kJointStiffness = 3.0;       // N m / rad
constexpr double kJointDamping = 0.1;         // N m s / rad
constexpr double kCartesianStiffness = 300.0;  // N / m
constexpr double kCartesianDamping = 6.0;      // N s / m

// Step of the central differences of the Jacobian: small against the workspace, large
// against the binary32 rounding of the forward kinematics.
constexpr double kJacobianStepDegrees = 0.05;

const Joints kStartPose{0.0 / kDegreesPerRadian, -60.0 / kDegreesPerRadian, -120.0 / kDegreesPerRadian};

Vector3 ToDegrees(const Joints& radians) {
  Vector3 degrees;
  for (std::size_t j = 0; j < 3; ++j) degrees[j] = static_cast<float>(radians[j] * kDegreesPerRadian);
  return degrees;
}

std::array<double, 3> ToDouble(const Vector3& values) { return {values[0], values[1], values[2]}; }

Vector3 ToFloat(const std::array<double, 3>& values) {
  return {static_cast<float>(values[0]), static_cast<float>(values[1]), static_cast<float>(values[2])};
}

}  // namespace

ArmModel::ArmModel() : angles_(kStartPose) {}

void ArmModel::Apply(Command command, const Vector3& value) {
  command_ = command;
  target_ = value;
}

void ArmModel::Advance(double seconds) {
  if (!(seconds > 0)) return;
  pending_seconds_ += std::min(seconds, kLongestCatchUp);
  while (pending_seconds_ >= kStepSeconds) {
    Step();
    pending_seconds_ -= kStepSeconds;
  }
  heat_.Advance(seconds, Currents());
}

// Semi-implicit Euler: the new velocity moves the joints.
void ArmModel::Step() {
  torques_ = MotorTorques();
  for (std::size_t j = 0; j < 3; ++j) {
    const double acceleration = (torques_[j] - kDamping * velocities_[j]) / kInertia;
    velocities_[j] += acceleration * kStepSeconds;
    angles_[j] += velocities_[j] * kStepSeconds;
  }
  EnforceJointLimits(angles_, velocities_);
}

Joints ArmModel::MotorTorques() const {
  Joints torques = CommandedTorques();
  for (double& torque : torques) {
    torque = std::isfinite(torque) ? std::clamp(torque, -kMaxMotorTorque, kMaxMotorTorque) : 0.0;
  }
  return torques;
}

Joints ArmModel::CommandedTorques() const {
  switch (command_) {
    case Command::JointTorques:
      return ToDouble(target_);
    case Command::EndEffectorForce:
      return TorquesForForce(ToDouble(target_));
    case Command::EndEffectorPosition:
      return TorquesForForce(PositionTrackingForce());
    case Command::JointAngles:
      return AngleTrackingTorques();
  }
  return {};
}

ArmModel::Cartesian ArmModel::PositionTrackingForce() const {
  const Vector3 position = EndEffectorPosition();
  const Cartesian velocity = CartesianVelocity();
  Cartesian force;
  for (std::size_t i = 0; i < 3; ++i) {
    force[i] = kCartesianStiffness * (target_[i] - position[i]) - kCartesianDamping * velocity[i];
  }
  return force;
}

Joints ArmModel::AngleTrackingTorques() const {
  Joints torques;
  for (std::size_t j = 0; j < 3; ++j) {
    const double error = target_[j] / kDegreesPerRadian - angles_[j];
    torques[j] = kJointStiffness * error - kJointDamping * velocities_[j];
  }
  return torques;
}

Joints ArmModel::TorquesForForce(const Cartesian& force) const {
  const Matrix3 jacobian = Jacobian();
  Joints torques{};
  for (std::size_t j = 0; j < 3; ++j) {
    for (std::size_t i = 0; i < 3; ++i) torques[j] += jacobian[i][j] * force[i];
  }
  return torques;
}

// Metres per radian, by central differences of the forward kinematics.
ArmModel::Matrix3 ArmModel::Jacobian() const {
  const Vector3 degrees = ToDegrees(angles_);
  Matrix3 jacobian{};
  for (std::size_t j = 0; j < 3; ++j) {
    Vector3 ahead = degrees, behind = degrees;
    ahead[j] += static_cast<float>(kJacobianStepDegrees);
    behind[j] -= static_cast<float>(kJacobianStepDegrees);
    const Vector3 front = geometry_.ForwardKinematics(ahead), back = geometry_.ForwardKinematics(behind);
    const double step_radians = (ahead[j] - behind[j]) / kDegreesPerRadian;  // as rounded
    for (std::size_t i = 0; i < 3; ++i) jacobian[i][j] = (front[i] - back[i]) / step_radians;
  }
  return jacobian;
}

ArmModel::Cartesian ArmModel::CartesianVelocity() const {
  const Matrix3 jacobian = Jacobian();
  Cartesian velocity{};
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t j = 0; j < 3; ++j) velocity[i] += jacobian[i][j] * velocities_[j];
  }
  return velocity;
}

Joints ArmModel::Currents() const {
  Joints currents;
  for (std::size_t j = 0; j < 3; ++j) currents[j] = torques_[j] / kTorquePerAmpere;
  return currents;
}

Vector3 ArmModel::JointAngles() const { return ToDegrees(angles_); }

Vector3 ArmModel::JointVelocities() const { return ToDegrees(velocities_); }

Vector3 ArmModel::EndEffectorPosition() const { return geometry_.ForwardKinematics(JointAngles()); }

Vector3 ArmModel::EndEffectorVelocity() const { return ToFloat(CartesianVelocity()); }

Vector3 ArmModel::MotorCurrents() const { return ToFloat(Currents()); }

float ArmModel::Temperature() const { return static_cast<float>(heat_.Celsius()); }

}  // namespace Tavix::Simulator
