#pragma once

#include <deque>
#include <optional>
#include <utility>
#include <vector>

#include "JointLimits.h"
#include "MotorHeat.h"
#include "PointMass.h"
#include "RecordedStates.h"
#include "Tavix/HardwareAPI/ArmGeometry.h"
#include "Tavix/HardwareAPI/Vector3.h"

namespace Tavix::Simulator {

using HardwareAPI::Vector3;

/// The simulated arm's mechanics: three joints, each a rotating inertia with viscous
/// damping, driven by torque-limited motors and held inside `JointLimits`. The motors
/// follow the last command until the next one:
///   - joint torques are applied as they are;
///   - an end-effector force becomes joint torques through the transposed Jacobian of
///     the forward kinematics (default link lengths, numerical derivatives);
///   - an end-effector position or a set of joint angles is tracked by a PD loop, in
///     Cartesian or in joint space.
/// There is no gravity: with zero torque the arm coasts to a stop.
///
/// Time advances in fixed steps of `kStepSeconds`; what is left over is carried to the
/// next call, so the motion does not depend on how often the model is asked.
///
/// `Settings` may make it a device to study contact stability with:
///   - with `point_mass`, an end-effector force drives a `PointMass` at the end effector
///     instead of the joints, from the moment it is applied and without the motors'
///     torque limit (the currents reported are still the motors'). The joint angles
///     follow the mass by inverse kinematics after each `Advance`; where the linkage
///     cannot follow, the joint limits hold the mass at the edge of the workspace, its
///     velocity out of it removed. The other commands drive the joints as before, from
///     where the mass was;
///   - `resolution` quantises the end-effector positions reported, and the velocity
///     reported is then the difference of two such positions, from one `Advance` to the
///     next, over the time between them;
///   - `delay` makes each command take effect that many commands later.
///
/// With `replay`, the model plays recorded states instead of its mechanics (the settings
/// above are then unused): each end-effector command (force or position) moves the end
/// effector to the next state, position and velocity as recorded; after the last, it
/// rests at the last position. It stands at the first position at rest until the first
/// such command. The joint angles follow by inverse kinematics, so that the joint state
/// shows the same pose; joint commands move nothing.
class ArmModel {
 public:
  enum class Command { JointTorques, EndEffectorForce, EndEffectorPosition, JointAngles };

  struct Settings {
    std::optional<PointMass::Settings> point_mass;  ///< unset: forces drive the joints
    double resolution = 0;                          ///< metres; 0: positions as computed
    unsigned delay = 0;                             ///< commands
    std::vector<RecordedState> replay;              ///< empty: the mechanics move the arm
  };

  static constexpr double kStepSeconds = 1e-3;
  static constexpr double kInertia = 0.002;            // kg m^2, every joint
  static constexpr double kDamping = 0.05;             // N m s / rad
  static constexpr double kMaxMotorTorque = 2.0;       // N m
  static constexpr double kTorquePerAmpere = 0.5;      // N m / A
  static constexpr double kLongestCatchUp = 10.0;      // seconds simulated per call at most

  /// At rest in the pose (0, -60, -120) degrees, with zero torques commanded.
  ArmModel();
  explicit ArmModel(const Settings& settings);

  ArmModel(const ArmModel&) = delete;
  ArmModel& operator=(const ArmModel&) = delete;

  /// Replaces the command: torques (N m), force (N), position (m) or angles (degrees).
  /// With a `delay` of d, the command applied is the one given d calls before (until
  /// then, zero torques).
  void Apply(Command command, const Vector3& value);

  /// Lets `seconds` of time pass. The mechanics simulate at most `kLongestCatchUp` of a
  /// longer pause, which bounds the work one request can cause (under a steady command
  /// the damped arm has settled, or reached a limit, long before); the motors cool or
  /// warm for all of it.
  void Advance(double seconds);

  Vector3 JointAngles() const;          ///< degrees
  Vector3 JointVelocities() const;      ///< degrees per second
  Vector3 EndEffectorPosition() const;  ///< metres: of the joint angles, or of the point mass
  Vector3 EndEffectorVelocity() const;  ///< metres per second
  Vector3 MotorCurrents() const;        ///< amperes, signed like the torques
  float Temperature() const;            ///< degrees Celsius

 private:
  using Matrix3 = std::array<Cartesian, 3>;  // rows: x, y, z; columns: joints

  void Take(Command command, const Vector3& value);
  bool MassDrives() const;
  void AdvanceJoints(double seconds);
  void AdvanceMass(double seconds);
  void FollowMass();
  void Reach(const Cartesian& target, const Cartesian& velocity);
  bool Replaying() const { return !settings_.replay.empty(); }
  void PlayNext();
  void Step();
  Joints MotorTorques() const;
  Joints CommandedTorques() const;
  Cartesian CommandedForce() const;
  Cartesian PositionTrackingForce() const;
  Joints AngleTrackingTorques() const;
  Joints TorquesForForce(const Cartesian& force) const;
  Matrix3 Jacobian() const;
  Cartesian Forward(const Joints& angles) const;
  Cartesian CartesianVelocity() const;
  Cartesian Position() const;
  Cartesian Velocity() const;
  Cartesian Quantised(const Cartesian& position) const;
  Joints Currents() const;

  Settings settings_;
  HardwareAPI::ArmGeometry geometry_;  // default lengths, no calibration offsets
  Joints angles_;                      // radians
  Joints velocities_{};                // radians per second
  Joints torques_{};                   // as applied in the last step
  Command command_ = Command::JointTorques;
  Vector3 target_{};
  double pending_seconds_ = 0;
  MotorHeat heat_;
  std::optional<PointMass> mass_;                     // with settings_.point_mass
  std::deque<std::pair<Command, Vector3>> delayed_;  // given, not yet applied
  Cartesian read_velocity_{};                         // with a resolution: of the last Advance
  RecordedState played_{};                            // with a replay: the state the arm is in
  std::size_t next_played_ = 0;                       // with a replay: the index of the next state
};

}  // namespace Tavix::Simulator
