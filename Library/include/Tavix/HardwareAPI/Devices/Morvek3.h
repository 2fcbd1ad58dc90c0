#pragma once

#include <array>
#include <memory>

#include "Tavix/HardwareAPI/ArmGeometry.h"
#include "Tavix/HardwareAPI/Devices/ArmState.h"
#include "Tavix/HardwareAPI/Devices/Device.h"
#include "Tavix/HardwareAPI/Devices/DeviceInfo.h"
#include "Tavix/HardwareAPI/UUID.h"
#include "Tavix/HardwareAPI/Vector3.h"

namespace Tavix::HardwareAPI::Devices {

/// The Morvek3 force-feedback arm: a turning base carrying a planar two-chain linkage
/// driven by three motors.
///
/// Every exchange writes one request and reads one reply: a header code (checked), then
/// a fixed payload. A wrong header code is followed by one discard read of up to 1024
/// bytes, which in practice waits out the time-out, so a silent or confused device costs
/// up to two time-outs; the bytes still queued after it are dropped, so the next
/// exchange reads its own reply. A short payload fails without a discard. Failures never throw:
/// they yield all-zero results (or leave caller outputs unchanged) and are logged by
/// `Device` on stderr; `LastError()` tells them apart from data after every operation
/// (an identifier reply whose length byte is not 16 is `DeviceErrc::malformed_reply`).
/// On an `IO::Port` the arm fails fast, as `Device` describes. Use the device from one
/// thread at a time.
class Morvek3 : public Device {
 public:
  using Orientation = std::array<float, 4>;

  /// Borrows `stream` (which must outlive the arm). On an `IO::Port` the arm gets a
  /// geometry model of its own, with the default link lengths and no calibration; on
  /// any other stream it uses the process-wide `ArmGeometry::Instance()` and resets its
  /// link lengths to the defaults (the calibration offsets are kept). Throws
  /// std::invalid_argument for null.
  explicit Morvek3(IO::SerialStream* stream);

  // Wake-up and identity.

  /// Sends the wake-up request (0x0A) and reads nothing.
  void SendDeviceWakeup();
  /// Reads the device-information reply (0x0B, 21 bytes); all zero on failure.
  DeviceInfo ReceiveDeviceInfo();
  /// `SendDeviceWakeup` followed by `ReceiveDeviceInfo`.
  DeviceInfo DeviceWakeup();
  /// Asks for the 16-byte device identifier (0x0D 0xD1); all zero on failure.
  UUID GetDeviceID();
  /// Asks for the 16-byte firmware version (0x0D 0xD2); all zero on failure.
  UUID GetFirmwareVersion();

  // Commands: 13-byte requests (code and three floats) that read nothing.

  void SendForce(const Vector3& force);           ///< 0x2A, end-effector force
  void SendPosition(const Vector3& position);     ///< 0x2C, end-effector position target
  void SendJointTorques(const Vector3& torques);  ///< 0x1A, joint torques
  void SendAngle(const Vector3& angles);          ///< 0x1C, joint angles (degrees)

  // Commands with the state they are answered with; all zero on failure.

  /// `SendForce`, then the end-effector state (0x2B).
  ArmState EndEffectorForce(const Vector3& force);
  /// `SendPosition`, then the end-effector state (0x2B).
  ArmState EndEffectorPosition(const Vector3& position);
  /// `SendJointTorques`, then the joint state (0x1B).
  ArmState JointTorques(const Vector3& torques);
  /// `SendAngle`, then the joint state (0x1B).
  ArmState JointAngles(const Vector3& angles);

  // Status queries: one request byte, answered with the same byte and a payload.

  /// Currents of motors 0, 1, 2 (0xAB, 12 bytes); zeros on failure.
  Vector3 GetMotorCurrents();
  /// The four orientation values of the base as received (0x0C, 16 bytes); zeros on failure.
  Orientation GetDeviceOrientation();
  /// True when the device reports a non-zero power byte (0xAC, 1 byte); false on failure.
  bool GetPowerStatus();
  /// Device temperature (0xAA, 4 bytes); 0 on failure.
  float GetTemperature();
  /// Sends the motor-current request (0xAB) and reads nothing.
  void RequestCurrent();
  /// Reads a motor-current reply into `currents`; leaves it unchanged on failure.
  void ReceiveCurrent(Vector3& currents);

  // Geometry.

  /// The geometry model the arm calibrates and computes with: on a Port the arm's own,
  /// which lives as long as the arm; otherwise the process-wide `ArmGeometry::Instance()`,
  /// shared with every other arm not on a Port. Its `configure` sets the arm's link
  /// lengths. Sends nothing; the model is safe to use from any thread.
  ArmGeometry& Geometry() noexcept;
  const ArmGeometry& Geometry() const noexcept;

  /// Calibrates `Geometry()`: the present pose has the joint angles `angles` (degrees).
  /// Sends zero joint torques to read the pose; a failed read counts as the all-zero
  /// pose, except on a Port, where it leaves the geometry unchanged.
  void AdjustAngles(const Vector3& angles);
  /// The end-effector position and velocity: as the device measures them (`onboard`,
  /// sends a zero force), or computed on the host with `Geometry()` from the joint
  /// angles (sends zero joint torques; the velocity is then zero).
  ArmState GetEndEffectorPosition(bool onboard = true);

 private:
  void SendCode(uint8_t code);
  /// Sends the command `code` with the three `values`.
  void SendCommand(uint8_t code, const Vector3& values);
  /// Sends the one-byte request `code` and reads the reply headed by the same code.
  bool Query(uint8_t code, std::size_t payload_length);
  UUID QueryIdentifier(uint8_t selector);
  /// Drops stale input, sends the command `send` with `values` and reads its state reply
  /// with `read_state`; all zero on failure.
  ArmState CommandExchange(void (Morvek3::*send)(const Vector3&), const Vector3& values,
                           void (Morvek3::*read_state)(Vector3&, Vector3&));

  /// On a Port, the arm's own geometry; null on other streams, which share `Instance()`.
  const std::unique_ptr<ArmGeometry> own_geometry_;
};

}  // namespace Tavix::HardwareAPI::Devices
