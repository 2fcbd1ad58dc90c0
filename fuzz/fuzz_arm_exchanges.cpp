// Feeds arbitrary bytes to the Morvek3 exchanges: the first byte picks an operation, the
// rest is the arm's reply, queued before the call. Checks the request each operation
// sends, how much of the reply it consumes, and its result: decoded from the reply when
// the reply is complete, and the all-zero (or otherwise documented) value when it is not.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "Devices/ArmProtocol.h"
#include "Harness.h"
#include "SocketPeer.h"
#include "Tavix/HardwareAPI/ArmGeometry.h"
#include "Tavix/HardwareAPI/Devices/Morvek3.h"

using namespace Tavix::HardwareAPI;
using namespace Tavix::HardwareAPI::Devices;
using namespace Tavix::Fuzzing;
namespace AP = ArmProtocol;

namespace {

const Vector3 kCommand{1.5f, -2.0f, 0.25f};
const Vector3 kZero{};
const Vector3 kCalibrationAngles{10.0f, -20.0f, 30.0f};
const Vector3 kUntouched{-7.0f, -7.0f, -7.0f};

struct Fixture {
  Tavix::Testing::SocketPeer port;
  Morvek3 arm{&port.Stream()};
};

Bytes CommandBytes(uint8_t code, const Vector3& values) {
  Bytes bytes(1 + sizeof values);
  bytes[0] = code;
  std::memcpy(&bytes[1], values.data(), sizeof values);
  return bytes;
}

// What an operation sends, and the reply it reads: its header codes (none for an
// operation that only sends) and its payload length.
struct Exchange {
  Bytes request;
  Bytes header;
  std::size_t payload_length;
};

bool HeaderMatches(const Exchange& exchange, const Bytes& reply) {
  return reply.size() >= exchange.header.size() &&
         std::equal(exchange.header.begin(), exchange.header.end(), reply.begin());
}

// The payload within `reply` when it answers the exchange in full, null otherwise.
const uint8_t* CompletePayload(const Exchange& exchange, const Bytes& reply) {
  if (exchange.header.empty() || !HeaderMatches(exchange, reply)) return nullptr;
  if (reply.size() - exchange.header.size() < exchange.payload_length) return nullptr;
  return &reply[exchange.header.size()];
}

// Each header code that is waiting is read; then the payload when the header matched and
// all of it is there. When the header did not match, the discard that follows drops
// everything still queued, so the whole reply is gone.
std::size_t ExpectedConsumed(const Exchange& exchange, const Bytes& reply) {
  if (!HeaderMatches(exchange, reply)) return reply.size();
  const std::size_t rest = reply.size() - exchange.header.size();
  return exchange.header.size() + (rest >= exchange.payload_length ? exchange.payload_length : 0);
}

template <typename T>
T Decode(const uint8_t* payload) {
  T value{};
  if (payload != nullptr) std::memcpy(&value, payload, sizeof value);
  return value;
}

template <typename T>
void CheckSame(const T& got, const T& expected, const char* what) {
  Require(SameBits(&got, &expected, sizeof got), what);
}

void CheckState(const ArmState& state, const uint8_t* payload) {
  CheckSame(state.position, Decode<Vector3>(payload), "first vector as on the wire, zero on failure");
  CheckSame(state.velocity, Decode<Vector3>(payload ? payload + 12 : nullptr),
            "second vector as on the wire, zero on failure");
}

void CheckInfo(const DeviceInfo& info, const uint8_t* payload) {
  DeviceInfo expected;
  if (payload != nullptr) {
    expected.device_id = Decode<uint16_t>(payload + AP::kInfoDeviceIdOffset);
    expected.device_model_number = payload[AP::kInfoModelNumberOffset];
    expected.hardware_version = payload[AP::kInfoHardwareVersionOffset];
    expected.firmware_version = payload[AP::kInfoFirmwareVersionOffset];
    expected.device_id_ext = Decode<UUID>(payload + AP::kInfoIdentifierOffset);
  }
  Require(info.device_id == expected.device_id && info.device_model_number == expected.device_model_number &&
              info.hardware_version == expected.hardware_version &&
              info.firmware_version == expected.firmware_version &&
              info.device_id_ext.bytes == expected.device_id_ext.bytes,
          "device information as on the wire, all zero on failure");
}

void CheckIdentifier(const UUID& identifier, const uint8_t* payload) {
  const bool valid = payload != nullptr && payload[0] == AP::kIdentifierLength;
  CheckSame(identifier, Decode<UUID>(valid ? payload + 1 : nullptr),
            "identifier as on the wire, zero on failure or a wrong length byte");
}

void CheckHostPosition(const ArmState& state, const uint8_t* payload) {
  const Vector3 angles = Decode<Vector3>(payload);  // a failed read counts as the zero pose
  CheckSame(state.position, ArmGeometry::Instance().ForwardKinematics(angles), "position computed from the angles");
  CheckSame(state.velocity, kZero, "no velocity from the host model");
}

void CheckAdjustAngles(Morvek3& arm, const uint8_t* payload) {
  ArmGeometry expected;
  expected.Calibrate(Decode<Vector3>(payload), kCalibrationAngles);
  arm.AdjustAngles(kCalibrationAngles);
  CheckSame(ArmGeometry::Instance().Offsets(), expected.Offsets(), "calibrated from the pose read");
}

void CheckReceiveCurrent(Morvek3& arm, const uint8_t* payload) {
  Vector3 currents = kUntouched;
  arm.ReceiveCurrent(currents);
  CheckSame(currents, payload ? Decode<Vector3>(payload) : kUntouched, "currents read, untouched on failure");
}

struct Operation {
  Exchange exchange;
  // Runs the operation and checks its result; `payload` is null when the reply is incomplete.
  void (*run)(Morvek3& arm, const uint8_t* payload);
};

// Picked by the first input byte, modulo their count. fuzz/make_corpus.py names the
// indices of this order: add new operations at the end.
const std::vector<Operation>& Operations() {
  static const std::vector<Operation> operations = {
      {{{AP::kWakeupCode}, {AP::kDeviceInfoCode}, AP::kDeviceInfoLength},
       [](Morvek3& arm, const uint8_t* payload) { CheckInfo(arm.DeviceWakeup(), payload); }},
      {{{}, {AP::kDeviceInfoCode}, AP::kDeviceInfoLength},
       [](Morvek3& arm, const uint8_t* payload) { CheckInfo(arm.ReceiveDeviceInfo(), payload); }},
      {{{AP::kIdentifierCode, AP::kDeviceIdSelector}, {AP::kIdentifierCode, AP::kDeviceIdSelector},
        AP::kIdentifierReplyLength},
       [](Morvek3& arm, const uint8_t* payload) { CheckIdentifier(arm.GetDeviceID(), payload); }},
      {{{AP::kIdentifierCode, AP::kFirmwareVersionSelector},
        {AP::kIdentifierCode, AP::kFirmwareVersionSelector}, AP::kIdentifierReplyLength},
       [](Morvek3& arm, const uint8_t* payload) { CheckIdentifier(arm.GetFirmwareVersion(), payload); }},
      {{CommandBytes(AP::kForceCode, kCommand), {AP::kEndEffectorStateCode}, AP::kStatePayloadLength},
       [](Morvek3& arm, const uint8_t* payload) { CheckState(arm.EndEffectorForce(kCommand), payload); }},
      {{CommandBytes(AP::kPositionCode, kCommand), {AP::kEndEffectorStateCode}, AP::kStatePayloadLength},
       [](Morvek3& arm, const uint8_t* payload) { CheckState(arm.EndEffectorPosition(kCommand), payload); }},
      {{CommandBytes(AP::kJointTorquesCode, kCommand), {AP::kJointStateCode}, AP::kStatePayloadLength},
       [](Morvek3& arm, const uint8_t* payload) { CheckState(arm.JointTorques(kCommand), payload); }},
      {{CommandBytes(AP::kJointAnglesCode, kCommand), {AP::kJointStateCode}, AP::kStatePayloadLength},
       [](Morvek3& arm, const uint8_t* payload) { CheckState(arm.JointAngles(kCommand), payload); }},
      {{{AP::kMotorCurrentsCode}, {AP::kMotorCurrentsCode}, AP::kMotorCurrentsLength},
       [](Morvek3& arm, const uint8_t* payload) {
         CheckSame(arm.GetMotorCurrents(), Decode<Vector3>(payload), "currents as on the wire, zero on failure");
       }},
      {{{AP::kOrientationCode}, {AP::kOrientationCode}, AP::kOrientationLength},
       [](Morvek3& arm, const uint8_t* payload) {
         CheckSame(arm.GetDeviceOrientation(), Decode<Morvek3::Orientation>(payload),
                   "orientation as on the wire, zero on failure");
       }},
      {{{AP::kPowerStatusCode}, {AP::kPowerStatusCode}, AP::kPowerStatusLength},
       [](Morvek3& arm, const uint8_t* payload) {
         Require(arm.GetPowerStatus() == (payload != nullptr && payload[0] != 0), "power on for a non-zero byte");
       }},
      {{{AP::kTemperatureCode}, {AP::kTemperatureCode}, AP::kTemperatureLength},
       [](Morvek3& arm, const uint8_t* payload) {
         CheckSame(arm.GetTemperature(), Decode<float>(payload), "temperature as on the wire, zero on failure");
       }},
      {{{}, {AP::kMotorCurrentsCode}, AP::kMotorCurrentsLength}, CheckReceiveCurrent},
      {{CommandBytes(AP::kForceCode, kZero), {AP::kEndEffectorStateCode}, AP::kStatePayloadLength},
       [](Morvek3& arm, const uint8_t* payload) { CheckState(arm.GetEndEffectorPosition(true), payload); }},
      {{CommandBytes(AP::kJointTorquesCode, kZero), {AP::kJointStateCode}, AP::kStatePayloadLength},
       [](Morvek3& arm, const uint8_t* payload) { CheckHostPosition(arm.GetEndEffectorPosition(false), payload); }},
      {{CommandBytes(AP::kJointTorquesCode, kZero), {AP::kJointStateCode}, AP::kStatePayloadLength},
       CheckAdjustAngles},
      // Operations that only send: they must leave the whole reply unread.
      {{{AP::kWakeupCode}, {}, 0}, [](Morvek3& arm, const uint8_t*) { arm.SendDeviceWakeup(); }},
      {{{AP::kMotorCurrentsCode}, {}, 0}, [](Morvek3& arm, const uint8_t*) { arm.RequestCurrent(); }},
      {{CommandBytes(AP::kForceCode, kCommand), {}, 0},
       [](Morvek3& arm, const uint8_t*) { arm.SendForce(kCommand); }},
      {{CommandBytes(AP::kPositionCode, kCommand), {}, 0},
       [](Morvek3& arm, const uint8_t*) { arm.SendPosition(kCommand); }},
      {{CommandBytes(AP::kJointTorquesCode, kCommand), {}, 0},
       [](Morvek3& arm, const uint8_t*) { arm.SendJointTorques(kCommand); }},
      {{CommandBytes(AP::kJointAnglesCode, kCommand), {}, 0},
       [](Morvek3& arm, const uint8_t*) { arm.SendAngle(kCommand); }},
  };
  return operations;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const Bytes input = Input(data, size);
  if (input.empty()) return 0;
  Fixture& fixture = TheFixture<Fixture>();
  const Operation& operation = Operations()[input[0] % Operations().size()];
  const Bytes reply(input.begin() + 1, input.end());

  fixture.port.Send(reply);
  operation.run(fixture.arm, CompletePayload(operation.exchange, reply));
  const std::size_t consumed = reply.size() - static_cast<std::size_t>(fixture.port.QueuedTowardsLibrary());
  Require(consumed == ExpectedConsumed(operation.exchange, reply), "the exchange consumes what it reads, no more");
  Require(fixture.port.Receive(operation.exchange.request.size()) == operation.exchange.request,
          "the operation sends its request");
  Require(fixture.port.Stream().good(), "the stream never waits for bytes that are not there");

  ArmGeometry::Instance().Calibrate(kZero, kZero);  // undoes AdjustAngles for the next input
  fixture.port.Reset();
  return 0;
}
