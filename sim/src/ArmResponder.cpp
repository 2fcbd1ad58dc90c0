#include "ArmResponder.h"

#include <cmath>

namespace Tavix::Simulator {
namespace {

// Requests (host to arm) and their lengths in bytes, code included.
constexpr uint8_t kWakeup = 0x0A;
constexpr uint8_t kIdentifierQuery = 0x0D;
constexpr std::size_t kIdentifierQueryLength = 2;
constexpr uint8_t kDeviceIdSelector = 0xD1;
constexpr uint8_t kFirmwareSelector = 0xD2;
constexpr uint8_t kForce = 0x2A;
constexpr uint8_t kPosition = 0x2C;
constexpr uint8_t kJointTorques = 0x1A;
constexpr uint8_t kJointAngles = 0x1C;
constexpr std::size_t kCommandLength = 13;  // code and three floats
constexpr uint8_t kTemperature = 0xAA;
constexpr uint8_t kCurrents = 0xAB;
constexpr uint8_t kPower = 0xAC;
constexpr uint8_t kOrientation = 0x0C;

// Reply codes that differ from their request's.
constexpr uint8_t kDeviceInfo = 0x0B;
constexpr uint8_t kEndEffectorState = 0x2B;
constexpr uint8_t kJointState = 0x1B;
constexpr uint8_t kIdentifierLength = 16;

constexpr uint8_t kPowered = 1;
constexpr double kPi = 3.14159265358979323846;

DeviceResponder::Exchange Unanswered(std::size_t consumed) { return {consumed, {}}; }

void AppendVector(Bytes& out, const Vector3& values) {
  for (const float value : values) AppendFloat(out, value);
}

ArmModel::Command CommandOf(uint8_t code) {
  switch (code) {
    case kForce:
      return ArmModel::Command::EndEffectorForce;
    case kPosition:
      return ArmModel::Command::EndEffectorPosition;
    case kJointTorques:
      return ArmModel::Command::JointTorques;
    default:
      return ArmModel::Command::JointAngles;
  }
}

Bytes StateReply(uint8_t code, const Vector3& first, const Vector3& second) {
  Bytes reply{code};
  AppendVector(reply, first);
  AppendVector(reply, second);
  return reply;
}

}  // namespace

ArmResponder::ArmResponder(const Identity& identity, const ArmModel::Settings& settings, Clock::time_point start)
    : identity_(identity), model_(settings), model_time_(start) {}

DeviceResponder::Exchange ArmResponder::Answer(const Bytes& input, Clock::time_point now) {
  CatchUp(now);
  switch (input[0]) {
    case kWakeup:
      return {1, DeviceInfo()};
    case kIdentifierQuery:
      return AnswerIdentifierQuery(input);
    case kForce:
    case kPosition:
    case kJointTorques:
    case kJointAngles:
      return AnswerCommand(input);
    case kCurrents:
      return {1, Currents()};
    case kOrientation:
      return {1, BaseOrientation()};
    case kPower:
      return {1, Bytes{kPower, kPowered}};
    case kTemperature:
      return {1, Temperature()};
    default:
      return Unanswered(1);
  }
}

DeviceResponder::Exchange ArmResponder::AnswerIdentifierQuery(const Bytes& input) const {
  if (input.size() < kIdentifierQueryLength) return Unanswered(0);
  const uint8_t selector = input[1];
  const std::array<uint8_t, 16>* identifier = nullptr;
  if (selector == kDeviceIdSelector) identifier = &identity_.device_uuid;
  if (selector == kFirmwareSelector) identifier = &identity_.firmware_uuid;
  if (identifier == nullptr) return Unanswered(1);  // the selector may start the next request

  Bytes reply{kIdentifierQuery, selector, kIdentifierLength};
  reply.insert(reply.end(), identifier->begin(), identifier->end());
  return {kIdentifierQueryLength, reply};
}

DeviceResponder::Exchange ArmResponder::AnswerCommand(const Bytes& input) {
  if (input.size() < kCommandLength) return Unanswered(0);
  const uint8_t code = input[0];
  model_.Apply(CommandOf(code), {LoadFloat(&input[1]), LoadFloat(&input[5]), LoadFloat(&input[9])});
  // Commands in end-effector space are answered in that space, joint commands in joint space.
  const Bytes reply = code == kForce || code == kPosition
                          ? StateReply(kEndEffectorState, model_.EndEffectorPosition(),
                                       model_.EndEffectorVelocity())
                          : StateReply(kJointState, model_.JointAngles(), model_.JointVelocities());
  return {kCommandLength, reply};
}

Bytes ArmResponder::DeviceInfo() const {
  Bytes reply{kDeviceInfo};
  AppendDeviceNumbers(reply, identity_.numbers);
  reply.insert(reply.end(), identity_.device_uuid.begin(), identity_.device_uuid.end());
  return reply;
}

Bytes ArmResponder::Currents() const {
  Bytes reply{kCurrents};
  AppendVector(reply, model_.MotorCurrents());
  return reply;
}

// The turning base as a unit quaternion (x, y, z, w): a rotation by joint 0 about the
// base axis, which is the device frame's z axis.
Bytes ArmResponder::BaseOrientation() const {
  const double half_angle = model_.JointAngles()[0] * kPi / 360.0;
  Bytes reply{kOrientation};
  AppendVector(reply, {0.0f, 0.0f, static_cast<float>(std::sin(half_angle))});
  AppendFloat(reply, static_cast<float>(std::cos(half_angle)));
  return reply;
}

Bytes ArmResponder::Temperature() const {
  Bytes reply{kTemperature};
  AppendFloat(reply, model_.Temperature());
  return reply;
}

void ArmResponder::CatchUp(Clock::time_point now) {
  if (now <= model_time_) return;
  model_.Advance(std::chrono::duration<double>(now - model_time_).count());
  model_time_ = now;
}

}  // namespace Tavix::Simulator
