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

// Following the point mass: Newton steps at most, the distance (m) at which the joint
// angles have found it (the binary32 forward kinematics round to about 1e-8 m), and the
// distance beyond which the linkage could not follow it, so an end stop holds it.
constexpr int kFollowIterations = 8;
constexpr double kFollowTolerance = 1e-7;
constexpr double kEndStopTolerance = 1e-5;

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

Cartesian Minus(const Cartesian& a, const Cartesian& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }

double Norm(const Cartesian& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

using Matrix3 = std::array<Cartesian, 3>;

double Determinant(const Matrix3& m) {
  return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
         m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

// x with m x = b, by Cramer's rule; zero when m is singular.
Joints Solve(const Matrix3& m, const Cartesian& b) {
  const double determinant = Determinant(m);
  if (determinant == 0) return {};
  Joints x;
  for (std::size_t j = 0; j < 3; ++j) {
    Matrix3 replaced = m;
    for (std::size_t i = 0; i < 3; ++i) replaced[i][j] = b[i];
    x[j] = Determinant(replaced) / determinant;
  }
  return x;
}

}  // namespace

ArmModel::ArmModel() : ArmModel(Settings{}) {}

ArmModel::ArmModel(const Settings& settings) : settings_(settings), angles_(kStartPose) {
  if (settings_.point_mass) mass_.emplace(*settings_.point_mass, Forward(angles_));
  if (Replaying()) {
    played_ = {settings_.replay.front().position, {}};
    Reach(played_.position, played_.velocity);
  }
}

void ArmModel::Apply(Command command, const Vector3& value) {
  if (Replaying()) {
    if (command == Command::EndEffectorForce || command == Command::EndEffectorPosition) PlayNext();
    return;
  }
  delayed_.emplace_back(command, value);
  if (delayed_.size() <= settings_.delay) return;
  Take(delayed_.front().first, delayed_.front().second);
  delayed_.pop_front();
}

// The mass takes over from the joints where they are, moving as they move.
void ArmModel::Take(Command command, const Vector3& value) {
  const bool mass_drove = MassDrives();
  command_ = command;
  target_ = value;
  if (MassDrives() && !mass_drove) mass_->Place(Forward(angles_), CartesianVelocity());
}

bool ArmModel::MassDrives() const { return mass_ && command_ == Command::EndEffectorForce; }

void ArmModel::Advance(double seconds) {
  if (!(seconds > 0)) return;
  if (Replaying()) {
    heat_.Advance(seconds, Currents());
    return;
  }
  const Cartesian read_before = Quantised(Position());
  if (MassDrives()) {
    AdvanceMass(std::min(seconds, kLongestCatchUp));
  } else {
    AdvanceJoints(std::min(seconds, kLongestCatchUp));
  }
  if (settings_.resolution > 0) {
    const Cartesian moved = Minus(Quantised(Position()), read_before);
    for (std::size_t i = 0; i < 3; ++i) read_velocity_[i] = moved[i] / seconds;
  }
  heat_.Advance(seconds, Currents());
}

void ArmModel::AdvanceJoints(double seconds) {
  pending_seconds_ += seconds;
  while (pending_seconds_ >= kStepSeconds) {
    Step();
    pending_seconds_ -= kStepSeconds;
  }
}

void ArmModel::AdvanceMass(double seconds) {
  mass_->Advance(seconds, CommandedForce());
  FollowMass();
  torques_ = MotorTorques();
}

// The joints follow the mass; where the linkage could not follow it, the joint limits
// hold the mass at the edge of the workspace.
void ArmModel::FollowMass() {
  const Cartesian target = mass_->Position();
  Reach(target, mass_->Velocity());
  const Cartesian reached = Forward(angles_);
  if (Norm(Minus(target, reached)) > kEndStopTolerance) mass_->Place(reached, CartesianVelocity());
}

// Inverse kinematics: Newton's method from the current angles toward `target`, each step
// kept inside the joint limits; then the joint velocities that move the end effector at
// `velocity`, less any that point out of the limits.
void ArmModel::Reach(const Cartesian& target, const Cartesian& velocity) {
  for (int i = 0; i < kFollowIterations; ++i) {
    const Cartesian error = Minus(target, Forward(angles_));
    if (Norm(error) <= kFollowTolerance) break;
    const Joints step = Solve(Jacobian(), error);
    for (std::size_t j = 0; j < 3; ++j) angles_[j] += step[j];
    EnforceJointLimits(angles_, velocities_);
  }
  velocities_ = Solve(Jacobian(), velocity);
  EnforceJointLimits(angles_, velocities_);
}

// After the last state, the arm rests where it ended.
void ArmModel::PlayNext() {
  const std::vector<RecordedState>& states = settings_.replay;
  played_ = next_played_ < states.size() ? states[next_played_++] : RecordedState{states.back().position, {}};
  Reach(played_.position, played_.velocity);
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
      return TorquesForForce(CommandedForce());
    case Command::EndEffectorPosition:
      return TorquesForForce(PositionTrackingForce());
    case Command::JointAngles:
      return AngleTrackingTorques();
  }
  return {};
}

// Non-finite components push nothing.
Cartesian ArmModel::CommandedForce() const {
  Cartesian force = ToDouble(target_);
  for (double& component : force) component = std::isfinite(component) ? component : 0.0;
  return force;
}

Cartesian ArmModel::PositionTrackingForce() const {
  const Vector3 position = geometry_.ForwardKinematics(JointAngles());
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
Matrix3 ArmModel::Jacobian() const {
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

Cartesian ArmModel::CartesianVelocity() const {
  const Matrix3 jacobian = Jacobian();
  Cartesian velocity{};
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t j = 0; j < 3; ++j) velocity[i] += jacobian[i][j] * velocities_[j];
  }
  return velocity;
}

Cartesian ArmModel::Forward(const Joints& angles) const {
  return ToDouble(geometry_.ForwardKinematics(ToDegrees(angles)));
}

Cartesian ArmModel::Position() const {
  if (Replaying()) return played_.position;
  return MassDrives() ? mass_->Position() : Forward(angles_);
}

Cartesian ArmModel::Velocity() const {
  if (Replaying()) return played_.velocity;
  return MassDrives() ? mass_->Velocity() : CartesianVelocity();
}

// Rounded to whole steps of the resolution, as an encoder counts.
Cartesian ArmModel::Quantised(const Cartesian& position) const {
  if (!(settings_.resolution > 0)) return position;
  Cartesian steps;
  for (std::size_t i = 0; i < 3; ++i) steps[i] = std::round(position[i] / settings_.resolution) * settings_.resolution;
  return steps;
}

Joints ArmModel::Currents() const {
  Joints currents;
  for (std::size_t j = 0; j < 3; ++j) currents[j] = torques_[j] / kTorquePerAmpere;
  return currents;
}

Vector3 ArmModel::JointAngles() const { return ToDegrees(angles_); }

Vector3 ArmModel::JointVelocities() const { return ToDegrees(velocities_); }

Vector3 ArmModel::EndEffectorPosition() const { return ToFloat(Quantised(Position())); }

Vector3 ArmModel::EndEffectorVelocity() const {
  return ToFloat(settings_.resolution > 0 ? read_velocity_ : Velocity());
}

Vector3 ArmModel::MotorCurrents() const { return ToFloat(Currents()); }

float ArmModel::Temperature() const { return static_cast<float>(heat_.Celsius()); }

}  // namespace Tavix::Simulator
