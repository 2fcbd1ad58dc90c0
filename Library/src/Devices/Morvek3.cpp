#include "Tavix/HardwareAPI/Devices/Morvek3.h"

#include <algorithm>
#include <memory>

#include "ArmProtocol.h"
#include "InfoDecoders.h"
#include "WireFormat.h"

namespace Tavix::HardwareAPI::Devices {
namespace AP = ArmProtocol;
namespace {

template <std::size_t N>
std::array<float, N> DecodeFloats(const uint8_t* payload) {
  std::array<float, N> values{};
  for (std::size_t i = 0; i < N; ++i) values[i] = Wire::Load<float>(payload + 4 * i);
  return values;
}

// The payload of an identifier reply: a length byte (16, as checked before) and the bytes.
UUID DecodeIdentifier(const uint8_t* payload) {
  UUID identifier;
  std::copy_n(payload + 1, identifier.bytes.size(), identifier.bytes.begin());
  return identifier;
}

}  // namespace

Morvek3::Morvek3(IO::SerialStream* stream)
    : Device(stream), own_geometry_(OnPort() ? std::make_unique<ArmGeometry>() : nullptr) {
  // Arms on plain streams share one model, whose lengths every new one resets.
  if (!own_geometry_) ArmGeometry::Instance().configure();
}

ArmGeometry& Morvek3::Geometry() noexcept {
  return own_geometry_ ? *own_geometry_ : ArmGeometry::Instance();
}

const ArmGeometry& Morvek3::Geometry() const noexcept {
  return own_geometry_ ? *own_geometry_ : ArmGeometry::Instance();
}

void Morvek3::SendCode(uint8_t code) {
  send_buffer[0] = code;
  SendMessage(1);
}

bool Morvek3::Query(uint8_t code, std::size_t payload_length) {
  DropStaleInput();
  SendCode(code);
  return ReadReply({code}, payload_length);
}

void Morvek3::SendDeviceWakeup() {
  const Operation operation(*this);
  SendCode(AP::kWakeupCode);
}

DeviceInfo Morvek3::ReceiveDeviceInfo() {
  const Operation operation(*this);
  if (!ReadReply({AP::kDeviceInfoCode}, AP::kDeviceInfoLength)) return {};
  return InfoDecoders::ArmInfo(receive_buffer.get());
}

DeviceInfo Morvek3::DeviceWakeup() {
  const Operation operation(*this);
  DropStaleInput();
  SendDeviceWakeup();
  return ReceiveDeviceInfo();
}

UUID Morvek3::QueryIdentifier(uint8_t selector) {
  DropStaleInput();
  send_buffer[0] = AP::kIdentifierCode;
  send_buffer[1] = selector;
  SendMessage(2);
  if (!ReadReply({AP::kIdentifierCode, selector}, AP::kIdentifierReplyLength)) return {};
  // The rest of the reply has been read: nothing is left to drop.
  if (receive_buffer[0] != AP::kIdentifierLength) {
    Fail(DeviceErrc::malformed_reply);
    return {};
  }
  return DecodeIdentifier(receive_buffer.get());
}

UUID Morvek3::GetDeviceID() {
  const Operation operation(*this);
  return QueryIdentifier(AP::kDeviceIdSelector);
}

UUID Morvek3::GetFirmwareVersion() {
  const Operation operation(*this);
  return QueryIdentifier(AP::kFirmwareVersionSelector);
}

void Morvek3::SendCommand(uint8_t code, const Vector3& values) {
  const Operation operation(*this);
  SendCodeAndFloats(code, values.data(), AP::kCommandFloatCount);
}

void Morvek3::SendForce(const Vector3& force) { SendCommand(AP::kForceCode, force); }

void Morvek3::SendPosition(const Vector3& position) { SendCommand(AP::kPositionCode, position); }

void Morvek3::SendJointTorques(const Vector3& torques) { SendCommand(AP::kJointTorquesCode, torques); }

void Morvek3::SendAngle(const Vector3& angles) { SendCommand(AP::kJointAnglesCode, angles); }

ArmState Morvek3::CommandExchange(void (Morvek3::*send)(const Vector3&), const Vector3& values,
                                  void (Morvek3::*read_state)(Vector3&, Vector3&)) {
  const Operation operation(*this);
  DropStaleInput();
  (this->*send)(values);
  ArmState state;
  (this->*read_state)(state.position, state.velocity);
  return state;
}

ArmState Morvek3::EndEffectorForce(const Vector3& force) {
  return CommandExchange(&Morvek3::SendForce, force, &Morvek3::ReadEndEffectorState);
}

ArmState Morvek3::EndEffectorPosition(const Vector3& position) {
  return CommandExchange(&Morvek3::SendPosition, position, &Morvek3::ReadEndEffectorState);
}

ArmState Morvek3::JointTorques(const Vector3& torques) {
  return CommandExchange(&Morvek3::SendJointTorques, torques, &Morvek3::ReadJointState);
}

ArmState Morvek3::JointAngles(const Vector3& angles) {
  return CommandExchange(&Morvek3::SendAngle, angles, &Morvek3::ReadJointState);
}

Vector3 Morvek3::GetMotorCurrents() {
  const Operation operation(*this);
  DropStaleInput();
  RequestCurrent();
  Vector3 currents{};
  ReceiveCurrent(currents);
  return currents;
}

Morvek3::Orientation Morvek3::GetDeviceOrientation() {
  const Operation operation(*this);
  if (!Query(AP::kOrientationCode, AP::kOrientationLength)) return {};
  return DecodeFloats<4>(receive_buffer.get());
}

bool Morvek3::GetPowerStatus() {
  const Operation operation(*this);
  return Query(AP::kPowerStatusCode, AP::kPowerStatusLength) && receive_buffer[0] != 0;
}

float Morvek3::GetTemperature() {
  const Operation operation(*this);
  if (!Query(AP::kTemperatureCode, AP::kTemperatureLength)) return 0.0f;
  return Wire::Load<float>(receive_buffer.get());
}

void Morvek3::RequestCurrent() {
  const Operation operation(*this);
  SendCode(AP::kMotorCurrentsCode);
}

void Morvek3::ReceiveCurrent(Vector3& currents) {
  const Operation operation(*this);
  if (!ReadReply({AP::kMotorCurrentsCode}, AP::kMotorCurrentsLength)) return;
  currents = DecodeFloats<3>(receive_buffer.get());
}

void Morvek3::AdjustAngles(const Vector3& angles) {
  const Operation operation(*this);
  const ArmState pose = JointTorques({0.0f, 0.0f, 0.0f});
  // On a Port a failed read is reported, and the geometry is left as it was.
  if (Failed() && OnPort()) return;
  Geometry().Calibrate(pose.position, angles);
}

ArmState Morvek3::GetEndEffectorPosition(bool onboard) {
  const Operation operation(*this);
  if (onboard) return EndEffectorForce({0.0f, 0.0f, 0.0f});
  const ArmState joints = JointTorques({0.0f, 0.0f, 0.0f});
  return ArmState{Geometry().ForwardKinematics(joints.position), {}};
}

}  // namespace Tavix::HardwareAPI::Devices
