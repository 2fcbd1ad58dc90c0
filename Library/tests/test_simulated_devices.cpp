// End to end: the library against tavix-sim, the device simulator, over pseudo-terminals.

#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CheckedSimulator.h"
#include "StderrCapture.h"
#include "Tavix/HardwareAPI/Devices/Handle.h"
#include "Tavix/HardwareAPI/Devices/Morvek3.h"

using Tavix::HardwareAPI::UUID;
using Tavix::HardwareAPI::Vector3;
using Tavix::HardwareAPI::Devices::ArmState;
using Tavix::HardwareAPI::Devices::DeviceInfo;
using Tavix::HardwareAPI::Devices::GantrelStatus;
using Tavix::HardwareAPI::Devices::Handle;
using Tavix::HardwareAPI::Devices::Morvek3;
using Tavix::HardwareAPI::IO::SerialStream;
using namespace Tavix::Testing;
using namespace std::chrono_literals;

namespace {

// Short enough that every failure below costs at most a few tenths of a second.
constexpr float kQuickTimeout = 0.2f;

std::vector<std::string> Command(const std::string& kind, std::vector<std::string> options) {
  options.insert(options.begin(), kind);
  return options;
}

float Dot(const Vector3& a, const Vector3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
float Norm(const Vector3& v) { return std::sqrt(Dot(v, v)); }
Vector3 Minus(const Vector3& a, const Vector3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
float Norm4(const float* q) { return std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]); }

// The simulator playing a device of `kind` ("arm", "handle") with `options`, and a
// stream on its port for the library's device.
struct SimulatedPort {
  SimulatedPort(const std::string& kind, std::vector<std::string> options)
      : simulator(Command(kind, std::move(options))) {}

  CheckedSimulator simulator;
  SerialStream stream{simulator.PortPath().c_str()};
};

// A Morvek3 on a port played by the simulator.
struct SimulatedArm : SimulatedPort {
  explicit SimulatedArm(std::vector<std::string> options = {}) : SimulatedPort("arm", std::move(options)) {
    arm.timeout = kQuickTimeout;
  }

  Morvek3 arm{&stream};
};

bool IsZero(const ArmState& state) { return state.position == Vector3{} && state.velocity == Vector3{}; }

bool IsZero(const DeviceInfo& info) {
  return info.device_id == 0 && info.device_model_number == 0 && info.hardware_version == 0 &&
         info.firmware_version == 0 && info.device_id_ext.bytes == UUID{}.bytes;
}

TEST(SimulatedArm, ReportsItsConfiguredIdentity) {
  SimulatedArm device({"--id", "4660", "--uuid", "00112233-4455-6677-8899-aabbccddeeff"});
  const DeviceInfo info = device.arm.DeviceWakeup();
  EXPECT_EQ(info.device_id, 4660);
  EXPECT_EQ(info.device_model_number, 4);
  const UUID expected{{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};
  EXPECT_EQ(info.device_id_ext.bytes, expected.bytes);
  EXPECT_EQ(device.arm.GetDeviceID().bytes, expected.bytes);
  const UUID firmware = device.arm.GetFirmwareVersion();
  EXPECT_EQ(std::string(firmware.bytes.begin(), firmware.bytes.begin() + 9), "tavix-sim");
}

TEST(SimulatedArm, ConstantForceMovesTheEndEffectorAlongIt) {
  SimulatedArm device;
  const Vector3 force{0, 0, 2};
  const Vector3 start = device.arm.EndEffectorForce(force).position;
  ArmState state;
  for (int i = 0; i < 300; ++i) state = device.arm.EndEffectorForce(force);
  const Vector3 moved = Minus(state.position, start);
  EXPECT_GT(Norm(moved), 1e-4f) << "300 exchanges take some milliseconds, enough to move";
  EXPECT_GT(Dot(moved, force), 0.9f * Norm(moved) * Norm(force)) << "moved " << moved[0] << ", " << moved[1] << ", "
                                                                   << moved[2];
  EXPECT_GT(Dot(state.velocity, force), 0.0f);
}

TEST(SimulatedArm, TracksJointAnglesAndAgreesWithTheHostGeometry) {
  SimulatedArm device;
  const Vector3 target{20, -50, -110};
  device.arm.JointAngles(target);
  std::this_thread::sleep_for(300ms);  // the PD loop settles in about 0.2 s
  const Vector3 reached = device.arm.JointAngles(target).position;
  for (std::size_t j = 0; j < 3; ++j) EXPECT_NEAR(reached[j], target[j], 0.1f) << "joint " << j;

  const Vector3 onboard = device.arm.GetEndEffectorPosition(true).position;
  const Vector3 host = device.arm.GetEndEffectorPosition(false).position;
  for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(onboard[i], host[i], 1e-4f) << "axis " << i;
  EXPECT_GT(Norm(onboard), 0.1f);
}

TEST(SimulatedArm, StatusQueriesAnswerPlausibleValues) {
  SimulatedArm device;
  EXPECT_TRUE(device.arm.GetPowerStatus());
  const float temperature = device.arm.GetTemperature();
  EXPECT_GT(temperature, 15.0f);
  EXPECT_LT(temperature, 80.0f);
  const Morvek3::Orientation base = device.arm.GetDeviceOrientation();
  EXPECT_NEAR(Norm4(base.data()), 1.0f, 1e-6f);

  device.arm.JointTorques({0.5f, 0, 0});
  std::this_thread::sleep_for(5ms);  // a few steps of the simulated motors
  const Vector3 currents = device.arm.GetMotorCurrents();
  EXPECT_GT(currents[0], 0.0f);
  EXPECT_EQ(currents[1], 0.0f);
  EXPECT_EQ(currents[2], 0.0f);
}

TEST(SimulatedArmFaults, SilentArmYieldsTheZeroRecord) {
  SimulatedArm device({"--silent"});
  StderrCapture log;
  EXPECT_TRUE(IsZero(device.arm.DeviceWakeup()));
  EXPECT_EQ(log.Lines().size(), 2u) << "a header time-out and a discard time-out";
}

TEST(SimulatedArmFaults, DelayedReplyCountsOnlyWithinTheTimeOut) {
  SimulatedArm device({"--reply-delay-us", "100000"});
  device.arm.timeout = 1.0f;
  EXPECT_GT(device.arm.GetTemperature(), 0.0f);
  device.arm.timeout = 0.05f;
  StderrCapture log;
  EXPECT_EQ(device.arm.GetTemperature(), 0.0f);
}

TEST(SimulatedArmFaults, WrongHeaderYieldsFailureValues) {
  SimulatedArm device({"--wrong-header"});
  StderrCapture log;
  EXPECT_TRUE(IsZero(device.arm.EndEffectorForce({0, 0, 1})));
  EXPECT_FALSE(device.arm.GetPowerStatus());
}

TEST(SimulatedArmFaults, TruncatedReplyYieldsTheZeroState) {
  SimulatedArm device({"--truncate"});
  StderrCapture log;
  EXPECT_TRUE(IsZero(device.arm.JointTorques({0, 0, 0})));
}

TEST(SimulatedArmFaults, StrayByteBeforeTheReplyYieldsTheZeroRecord) {
  SimulatedArm device({"--garbage", "1", "--garbage-start", "7"});
  StderrCapture log;
  EXPECT_TRUE(IsZero(device.arm.DeviceWakeup()));
}

TEST(SimulatedArmFaults, HangUpEndsLaterExchangesAtOnce) {
  SimulatedArm device({"--hangup-after", "2"});
  EXPECT_EQ(device.arm.DeviceWakeup().device_model_number, 4);
  EXPECT_TRUE(device.arm.GetPowerStatus());
  StderrCapture log;
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(device.arm.GetTemperature(), 0.0f);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 150ms) << "no time-out to wait out";
  EXPECT_EQ(device.simulator.ExitStatusWithin(2s), 0);
}

// A handle that keeps what its callbacks were given.
class RecordingHandle : public Handle {
 public:
  using Handle::Handle;

  void OnReceiveHandleInfo(uint8_t, uint16_t device_id, uint8_t device_model_number, uint8_t, uint8_t) override {
    info_device_id = device_id;
    info_model = device_model_number;
  }
  void OnReceiveHandleStatusMessage(uint16_t device_id, const float* quaternion, uint8_t error_flag,
                                    uint8_t hall_effect_sensor_level, uint8_t user_data_length,
                                    const uint8_t* user_data) override {
    status_device_id = device_id;
    std::copy(quaternion, quaternion + 4, this->quaternion);
    this->error_flag = error_flag;
    hall_level = hall_effect_sensor_level;
    this->user_data.assign(user_data, user_data + user_data_length);
  }

  uint16_t info_device_id = 0;
  uint8_t info_model = 0;
  uint16_t status_device_id = 0;
  float quaternion[4] = {};
  uint8_t error_flag = 0xFF;
  uint8_t hall_level = 0xFF;
  std::vector<uint8_t> user_data;
};

// A Handle on a port played by the simulator.
struct SimulatedHandle : SimulatedPort {
  explicit SimulatedHandle(std::vector<std::string> options = {}) : SimulatedPort("handle", std::move(options)) {
    handle.timeout = kQuickTimeout;
  }

  RecordingHandle handle{&stream};
};

TEST(SimulatedHandle, AnswersTheWakeupWithItsInfo) {
  SimulatedHandle device({"--id", "515"});
  device.handle.SendDeviceWakeup();
  EXPECT_EQ(device.handle.Receive(), 6);
  EXPECT_EQ(device.handle.info_device_id, 515);
  EXPECT_NE(device.handle.info_model, 0);
}

TEST(SimulatedHandle, StatusMessagesShowTheHandleTurning) {
  SimulatedHandle device({"--id", "9"});
  device.handle.RequestStatus();
  ASSERT_EQ(device.handle.Receive(), 21);
  const std::vector<float> first(device.handle.quaternion, device.handle.quaternion + 4);
  EXPECT_EQ(device.handle.status_device_id, 9);
  EXPECT_EQ(device.handle.error_flag, 0);
  EXPECT_LE(device.handle.hall_level, 31);

  std::this_thread::sleep_for(100ms);
  device.handle.RequestStatus();
  ASSERT_EQ(device.handle.Receive(), 21);
  const std::vector<float> second(device.handle.quaternion, device.handle.quaternion + 4);
  EXPECT_NE(first, second);
  EXPECT_NEAR(Norm4(first.data()), 1.0f, 1e-6f);
  EXPECT_NEAR(Norm4(second.data()), 1.0f, 1e-6f);
}

TEST(SimulatedHandle, UserDataOfTheHandleStateComesBackInTheStatus) {
  SimulatedHandle device;
  const uint8_t data[] = {0xAA, 0xBB, 0xCC};
  device.handle.SendHandleState(7, sizeof data, data);
  device.handle.RequestStatus();
  EXPECT_EQ(device.handle.Receive(), 21 + 3);
  EXPECT_EQ(device.handle.user_data, std::vector<uint8_t>(data, data + sizeof data));
}

// A frame whose body needs SLIP escapes is longer than the 19 bytes the host reads
// after the code: the host reports it as a framing error (error_flag 1) and skips the
// tail it left behind on the next read. Every other frame must decode.
TEST(SimulatedHandle, StreamedFramesDecodeAsCompactStatus) {
  SimulatedHandle device({"--stream", "200", "--id", "9", "--battery", "100"});
  int decoded = 0, failed = 0;
  for (int i = 0; i < 60 && decoded < 20; ++i) {
    const GantrelStatus status = device.handle.GetGantrelStatus();
    if (status.error_flag != 0) {
      ASSERT_EQ(status.error_flag, 1) << "after " << decoded << " frames";
      ++failed;
      continue;
    }
    ++decoded;
    EXPECT_NEAR(Norm4(status.quaternion), 1.0f, 1e-3f);
    EXPECT_EQ(status.device_id, 9);
    EXPECT_FLOAT_EQ(status.battery_level, 3.5f);
    EXPECT_LE(status.hall_effect_sensor_level, 31);
  }
  EXPECT_EQ(decoded, 20) << failed << " frames failed";
}

TEST(SimulatedHandle, SilentHandleGivesNothingToReceive) {
  SimulatedHandle device({"--silent", "--stream", "100"});
  StderrCapture log;
  device.handle.RequestStatus();
  EXPECT_EQ(device.handle.Receive(), -1);
  EXPECT_EQ(device.handle.GetGantrelStatus().error_flag, 2);
}

}  // namespace
