#pragma once

#include <array>
#include <mutex>

#include "Tavix/HardwareAPI/Vector3.h"

namespace Tavix::HardwareAPI {

/// Host-side geometry model of the arm: a base turning about one axis (joint 0)
/// carrying a planar five-bar linkage whose two driven joints (1 and 2) share one axis.
/// Computes the end-effector position from the three joint angles, with configurable
/// link lengths and joint-angle calibration offsets. No I/O.
///
/// An arm on an `IO::Port` has a model of its own (`Devices::Morvek3::Geometry`), which
/// starts with the default lengths and zero offsets and which no other arm touches. Arms
/// on any other `IO::SerialStream` share one process-wide model (`Instance`): each such
/// arm's construction resets its link lengths to the defaults (the calibration offsets
/// survive), and a calibration of one is the calibration of all. All members are safe
/// to call from several threads.
class ArmGeometry {
 public:
  /// Pi as the model uses it in every degree/radian conversion.
  static constexpr float kPi = 3.141592f;
  static constexpr float kDefaultInnerArm1 = 0.14f;
  static constexpr float kDefaultOuterArm1 = 0.14f;
  static constexpr float kDefaultInnerArm2 = 0.165f;
  static constexpr float kDefaultOuterArm2 = 0.165f;
  static constexpr float kDefaultExtension = 0.0765f;

  /// The model shared by the arms of the process that are not on an `IO::Port`.
  static ArmGeometry& Instance();

  /// A model with the default lengths and zero offsets.
  ArmGeometry();

  ArmGeometry(const ArmGeometry&) = delete;
  ArmGeometry& operator=(const ArmGeometry&) = delete;

  /// Sets the link lengths (metres): the proximal links of the inner and outer chains,
  /// their distal links, and the end-effector extension (stored as its absolute value).
  /// No validation: impossible lengths give NaN positions. Offsets are kept.
  void configure(float inner_arm_1 = kDefaultInnerArm1, float outer_arm_1 = kDefaultOuterArm1,
                 float inner_arm_2 = kDefaultInnerArm2, float outer_arm_2 = kDefaultOuterArm2,
                 float extension = kDefaultExtension);

  /// Calibrates the joint angles: declares that the pose the device reports as
  /// `measured` (degrees) really is `target` (degrees).
  void Calibrate(const Vector3& measured, const Vector3& target);

  /// The calibration offsets in radians.
  Vector3 Offsets() const;

  /// End-effector position (metres) for the joint angles `angles` (degrees). NaN in the
  /// affected coordinates when the distal links cannot meet.
  Vector3 ForwardKinematics(const Vector3& angles) const;

 private:
  struct Parameters {
    Vector3 offsets{};   // radians
    float inner_arm_1 = kDefaultInnerArm1;
    float outer_arm_1 = kDefaultOuterArm1;
    float inner_arm_2 = kDefaultInnerArm2;
    float outer_arm_2 = kDefaultOuterArm2;
    float extension = kDefaultExtension;
  };

  Parameters Snapshot() const;

  mutable std::mutex mutex_;
  Parameters parameters_;
};

}  // namespace Tavix::HardwareAPI
