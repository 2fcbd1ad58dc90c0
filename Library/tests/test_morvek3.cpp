#include <gtest/gtest.h>

#include "PtyPeer.h"
#include "StderrCapture.h"
#include "Tavix/HardwareAPI/ArmGeometry.h"
#include "Tavix/HardwareAPI/Devices/Morvek3.h"
#include "Tavix/HardwareAPI/IO/Port.h"

using namespace Tavix::HardwareAPI;
using namespace Tavix::HardwareAPI::Devices;
using namespace Tavix::HardwareAPI::IO;
using namespace Tavix::Testing;

namespace {

const Bytes kZeroCommand(12, 0);

Bytes Sequence(uint8_t first, std::size_t count) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

// An arm on a pseudo-terminal with a short time-out; the shared geometry is left as
// the test found it.
class ArmOnPty : public testing::Test {
 protected:
  ArmOnPty() { arm.timeout = 0.2f; }
  ~ArmOnPty() override {
    ArmGeometry::Instance().Calibrate({0, 0, 0}, {0, 0, 0});
    ArmGeometry::Instance().configure();
  }

  // Requests the library wrote and no more.
  Bytes Written() { return peer.Drain(); }

  PtyPeer peer;
  SerialStream stream{peer.Path().c_str()};
  Morvek3 arm{&stream};
};

void ExpectZero(const DeviceInfo& info) {
  EXPECT_EQ(info.device_id, 0);
  EXPECT_EQ(info.device_model_number, 0);
  EXPECT_EQ(info.hardware_version, 0);
  EXPECT_EQ(info.firmware_version, 0);
  EXPECT_EQ(info.device_id_ext.bytes, UUID{}.bytes);
}

TEST_F(ArmOnPty, WakeupDecodesTheDeviceInformation) {
  peer.Play({Expect({0x0A}), Send(Join({{0x0B, 0x34, 0x12, 0x05, 0x02, 0x07}, Sequence(0, 16)}))});
  const DeviceInfo info = arm.DeviceWakeup();
  EXPECT_TRUE(peer.Finish());
  EXPECT_EQ(info.device_id, 0x1234);
  EXPECT_EQ(info.device_model_number, 5);
  EXPECT_EQ(info.hardware_version, 2);
  EXPECT_EQ(info.firmware_version, 7);
  const Bytes identifier(info.device_id_ext.bytes.begin(), info.device_id_ext.bytes.end());
  EXPECT_EQ(identifier, Sequence(0, 16));
}

TEST_F(ArmOnPty, WrongWakeupHeaderCostsOneDiscardAndYieldsZeros) {
  peer.Send(Join({{0x0C}, Bytes(21, 0x11)}));
  StderrCapture log;
  ExpectZero(arm.ReceiveDeviceInfo());
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("[err] Library/src/Device:87> timeout waiting for header code", 0), 0u);
  EXPECT_EQ(peer.QueuedTowardsLibrary(), 0) << "the discard gives up, then drops the stray bytes";
}

TEST_F(ArmOnPty, ShortWakeupReplyYieldsZerosWithoutDiscard) {
  peer.Send(Join({{0x0B}, Bytes(20, 0x11)}));
  ExpectZero(arm.ReceiveDeviceInfo());
  EXPECT_EQ(peer.QueuedTowardsLibrary(), 20);
}

TEST_F(ArmOnPty, SilentDeviceCostsTwoTimeOuts) {
  StderrCapture log;
  ExpectZero(arm.DeviceWakeup());
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("[err] Library/src/Device:58> ", 0), 0u);
  EXPECT_EQ(lines[1].rfind("[err] Library/src/Device:87> ", 0), 0u);
}

TEST_F(ArmOnPty, IdentifierQueriesNameTheirSelector) {
  peer.Play({Expect({0x0D, 0xD1}), Send(Join({{0x0D, 0xD1, 0x10}, Sequence(0xA0, 16)})),
             Expect({0x0D, 0xD2}), Send(Join({{0x0D, 0xD2, 0x10}, Sequence(0x10, 16)}))});
  const UUID id = arm.GetDeviceID();
  const UUID firmware = arm.GetFirmwareVersion();
  EXPECT_TRUE(peer.Finish());
  EXPECT_EQ(Bytes(id.bytes.begin(), id.bytes.end()), Sequence(0xA0, 16));
  EXPECT_EQ(Bytes(firmware.bytes.begin(), firmware.bytes.end()), Sequence(0x10, 16));
}

TEST_F(ArmOnPty, IdentifierWithWrongLengthOrSelectorIsZero) {
  peer.Send(Join({{0x0D, 0xD1, 0x0F}, Sequence(0, 16)}));
  EXPECT_EQ(arm.GetDeviceID().bytes, UUID{}.bytes);
  EXPECT_EQ(peer.QueuedTowardsLibrary(), 0) << "a bad length byte still consumes the payload";

  peer.Send(Join({{0x0D, 0xD2, 0x10}, Sequence(0, 16)}));
  StderrCapture log;
  EXPECT_EQ(arm.GetDeviceID().bytes, UUID{}.bytes);
  EXPECT_EQ(log.Lines().size(), 1u) << "one discard read";
  EXPECT_EQ(Written(), (Bytes{0x0D, 0xD1, 0x0D, 0xD1}));
}

TEST_F(ArmOnPty, CommandsSendTheirCodeAndThreeFloats) {
  peer.Send(Join({{0x2B}, FloatBytes({0.1f, 0.2f, 0.3f, 1, 2, 3})}));
  const ArmState state = arm.EndEffectorForce({1.0f, -2.0f, 0.5f});
  EXPECT_EQ(Written(), (Bytes{0x2A, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x3F}));
  EXPECT_EQ(state.position, (Vector3{0.1f, 0.2f, 0.3f}));
  EXPECT_EQ(state.velocity, (Vector3{1, 2, 3}));

  struct Case {
    ArmState (Morvek3::*exchange)(const Vector3&);
    uint8_t request, reply;
  };
  for (const Case& c : {Case{&Morvek3::EndEffectorPosition, 0x2C, 0x2B}, Case{&Morvek3::JointTorques, 0x1A, 0x1B},
                        Case{&Morvek3::JointAngles, 0x1C, 0x1B}}) {
    peer.Send(Join({{c.reply}, FloatBytes({4, 5, 6, 7, 8, 9})}));
    const ArmState answer = (arm.*c.exchange)({1, 2, 3});
    EXPECT_EQ(Written(), Join({{c.request}, FloatBytes({1, 2, 3})}));
    EXPECT_EQ(answer.position, (Vector3{4, 5, 6}));
    EXPECT_EQ(answer.velocity, (Vector3{7, 8, 9}));
  }
}

TEST_F(ArmOnPty, ReplyOfTheWrongSpaceYieldsTheZeroState) {
  peer.Send(Join({{0x2B}, FloatBytes({1, 2, 3, 4, 5, 6})}));
  const ArmState state = arm.JointTorques({0, 0, 0});
  EXPECT_EQ(state.position, (Vector3{}));
  EXPECT_EQ(state.velocity, (Vector3{}));
}

TEST_F(ArmOnPty, SendOnlyCommandsReadNothing) {
  peer.Send({0x2B});
  arm.SendForce({1, 2, 3});
  arm.SendPosition({1, 2, 3});
  arm.SendJointTorques({1, 2, 3});
  arm.SendAngle({1, 2, 3});
  EXPECT_EQ(Written(), Join({{0x2A}, FloatBytes({1, 2, 3}), {0x2C}, FloatBytes({1, 2, 3}), {0x1A},
                             FloatBytes({1, 2, 3}), {0x1C}, FloatBytes({1, 2, 3})}));
  EXPECT_EQ(peer.QueuedTowardsLibrary(), 1);
}

TEST_F(ArmOnPty, StatusQueriesDecodeTheirReplies) {
  peer.Send({0xAC, 0x02, 0xAC, 0x00});
  EXPECT_TRUE(arm.GetPowerStatus());
  EXPECT_FALSE(arm.GetPowerStatus());
  peer.Send({0xAA, 0x00, 0x00, 0xC8, 0x41});
  EXPECT_EQ(arm.GetTemperature(), 25.0f);
  peer.Send(Join({{0x0C}, FloatBytes({0, 0, 0, 1})}));
  EXPECT_EQ(arm.GetDeviceOrientation(), (Morvek3::Orientation{0, 0, 0, 1}));
  peer.Send(Join({{0xAB}, FloatBytes({0.5f, 1.5f, 2.5f})}));
  EXPECT_EQ(arm.GetMotorCurrents(), (Vector3{0.5f, 1.5f, 2.5f}));
  EXPECT_EQ(Written(), (Bytes{0xAC, 0xAC, 0xAA, 0x0C, 0xAB}));
}

TEST_F(ArmOnPty, FailedStatusQueriesYieldTheirFailureValues) {
  peer.Send({0xAB, 0x01});
  EXPECT_FALSE(arm.GetPowerStatus()) << "a reply headed 0xAB does not answer the power query";
  peer.Drain();
  peer.Send(Join({{0xAB}, Bytes(8, 0x40)}));
  EXPECT_EQ(arm.GetMotorCurrents(), (Vector3{}));
  EXPECT_EQ(arm.GetTemperature(), 0.0f);
  EXPECT_EQ(arm.GetDeviceOrientation(), (Morvek3::Orientation{}));
}

TEST_F(ArmOnPty, SplitCurrentQueryPicksUpTheReplyLater) {
  arm.RequestCurrent();
  EXPECT_EQ(Written(), Bytes{0xAB});
  Vector3 currents{9, 9, 9};
  arm.ReceiveCurrent(currents);
  EXPECT_EQ(currents, (Vector3{9, 9, 9})) << "unchanged on failure";
  peer.Send(Join({{0xAB}, FloatBytes({1, 2, 3})}));
  arm.ReceiveCurrent(currents);
  EXPECT_EQ(currents, (Vector3{1, 2, 3}));
}

TEST_F(ArmOnPty, OnboardPositionIsTheDevicesOwn) {
  peer.Send(Join({{0x2B}, FloatBytes({0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f})}));
  const ArmState state = arm.GetEndEffectorPosition(true);
  EXPECT_EQ(Written(), Join({{0x2A}, kZeroCommand}));
  EXPECT_EQ(state.position, (Vector3{0.1f, 0.2f, 0.3f}));
  EXPECT_EQ(state.velocity, (Vector3{0.4f, 0.5f, 0.6f}));
}

TEST_F(ArmOnPty, HostPositionComesFromTheJointAngles) {
  peer.Send(Join({{0x1B}, FloatBytes({30, -45, -135, 5, 5, 5})}));
  const ArmState state = arm.GetEndEffectorPosition(false);
  EXPECT_EQ(Written(), Join({{0x1A}, kZeroCommand}));
  EXPECT_EQ(state.position, ArmGeometry::Instance().ForwardKinematics({30, -45, -135}));
  EXPECT_EQ(state.velocity, (Vector3{})) << "joint velocities are not used";
}

TEST_F(ArmOnPty, AdjustAnglesCalibratesTheSharedModelFromThePose) {
  peer.Send(Join({{0x1B}, FloatBytes({10, 20, 30, 0, 0, 0})}));
  arm.AdjustAngles({0, 0, 0});
  EXPECT_EQ(Written(), Join({{0x1A}, kZeroCommand}));
  const Vector3 offsets = ArmGeometry::Instance().Offsets();
  EXPECT_NEAR(offsets[0], 0.174533f, 1e-6f);
  EXPECT_NEAR(offsets[1], -0.349066f, 1e-6f);
  EXPECT_NEAR(offsets[2], -0.523599f, 1e-6f);
}

TEST_F(ArmOnPty, EveryNewArmResetsTheSharedLengths) {
  ArmGeometry::Instance().configure(0.15f, 0.15f, 0.18f, 0.18f, 0.08f);
  const Vector3 custom = ArmGeometry::Instance().ForwardKinematics({0, -60, -120});
  Morvek3 another(&stream);
  const Vector3 reset = ArmGeometry::Instance().ForwardKinematics({0, -60, -120});
  EXPECT_NE(custom, reset);
  EXPECT_EQ(reset, ArmGeometry().ForwardKinematics({0, -60, -120}));
}

TEST(ArmsOnPorts, KeepAGeometryEachThatStartsFromTheDefaults) {
  PtyPeer first_peer, second_peer, plain_peer;
  Port first_port(first_peer.Path(), 0.2), second_port(second_peer.Path(), 0.2);
  Morvek3 first(&first_port);
  first.Geometry().configure(0.15f, 0.15f, 0.18f, 0.18f, 0.08f);
  first_peer.Play({Expect(Join({{0x1A}, kZeroCommand})), Send(Join({{0x1B}, FloatBytes({10, 20, 30, 0, 0, 0})}))});
  first.AdjustAngles({0, 0, 0});
  ASSERT_TRUE(first_peer.Finish());
  ASSERT_FALSE(first.LastError());
  ArmGeometry expected;
  expected.configure(0.15f, 0.15f, 0.18f, 0.18f, 0.08f);
  expected.Calibrate({10, 20, 30}, {0, 0, 0});

  // Neither another arm on a Port nor one on a plain stream (which resets the shared
  // lengths) touches the first arm's calibration or lengths.
  Morvek3 second(&second_port);
  SerialStream plain{plain_peer.Path().c_str()};
  Morvek3 on_plain(&plain);
  first_peer.Play({Expect(Join({{0x1A}, kZeroCommand})), Send(Join({{0x1B}, FloatBytes({0, -60, -120, 0, 0, 0})}))});
  EXPECT_EQ(first.GetEndEffectorPosition(false).position, expected.ForwardKinematics({0, -60, -120}));
  EXPECT_TRUE(first_peer.Finish());
  EXPECT_EQ(first.Geometry().Offsets(), expected.Offsets());

  EXPECT_EQ(second.Geometry().Offsets(), Vector3{});
  EXPECT_EQ(second.Geometry().ForwardKinematics({0, -60, -120}), ArmGeometry().ForwardKinematics({0, -60, -120}));
  EXPECT_EQ(ArmGeometry::Instance().Offsets(), Vector3{}) << "the arms on Ports leave the shared model alone";
  EXPECT_EQ(&on_plain.Geometry(), &ArmGeometry::Instance());
}

}  // namespace
