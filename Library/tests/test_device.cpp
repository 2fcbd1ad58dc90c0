#include <algorithm>
#include <stdexcept>

#include <gtest/gtest.h>

#include "PtyPeer.h"
#include "SignalStorm.h"
#include "StderrCapture.h"
#include "Timing.h"
#include "Tavix/HardwareAPI/Devices/Device.h"

using Tavix::HardwareAPI::Vector3;
using Tavix::HardwareAPI::Devices::Device;
using Tavix::HardwareAPI::IO::SerialStream;
using namespace Tavix::Testing;

namespace {

constexpr float kShortTimeout = 0.2f;

// A device on a pseudo-terminal, with a short time-out so that failures are quick.
class DeviceOnPty : public testing::Test {
 protected:
  DeviceOnPty() { device.timeout = kShortTimeout; }

  Bytes Received(std::size_t count) const {
    return Bytes(device.receive_buffer.get(), device.receive_buffer.get() + count);
  }

  PtyPeer peer;
  SerialStream stream{peer.Path().c_str()};
  Device device{&stream};
};

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

TEST(DeviceConstruction, RejectsNullStream) {
  EXPECT_THROW(Device(nullptr), std::invalid_argument);
}

TEST(DeviceConstruction, StartsWithDefaultTimeoutAndZeroedBuffers) {
  SerialStream stream("/dev/does-not-exist-tty", false);
  Device device(&stream);
  EXPECT_EQ(device.timeout, 5.0f);
  EXPECT_EQ(device.stream, &stream);
  EXPECT_TRUE(std::all_of(&device.send_buffer[0], &device.send_buffer[Device::kBufferSize],
                          [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::all_of(&device.receive_buffer[0], &device.receive_buffer[Device::kBufferSize],
                          [](uint8_t b) { return b == 0; }));
}

TEST_F(DeviceOnPty, SendCodeAndFloatsPacksLittleEndianFloatsBehindTheCode) {
  const float values[3] = {1.0f, 2.0f, 3.0f};
  device.SendCodeAndFloats(0x2A, values, 3);
  EXPECT_EQ(peer.Receive(13), (Bytes{0x2A, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40,
                                     0x00, 0x00, 0x40, 0x40}));
  device.SendCodeAndFloats(0x0A, nullptr, 0);
  EXPECT_EQ(peer.Drain(), Bytes{0x0A});
}

TEST_F(DeviceOnPty, SendRejectsCountsThatDoNotFitAndSendsNothing) {
  const float values[3] = {};
  EXPECT_THROW(device.SendCodeAndFloats(0x2A, values, -1), std::invalid_argument);
  EXPECT_THROW(device.SendCodeAndFloats(0x2A, values, 256), std::invalid_argument);
  EXPECT_THROW(device.SendCodeAndFloats(0x2A, nullptr, 3), std::invalid_argument);
  EXPECT_THROW(device.SendMessage(Device::kBufferSize + 1), std::invalid_argument);
  EXPECT_TRUE(peer.Drain().empty());
}

TEST_F(DeviceOnPty, HeaderCodeIsReturnedUnsigned) {
  peer.Send({0xDA, 0x00});
  EXPECT_EQ(device.ReadHeaderCode(), 0xDA);
  EXPECT_EQ(device.ReadHeaderCode(), 0) << "a received code 0 reads as a failure";
}

TEST_F(DeviceOnPty, SilentHeaderWaitTimesOutWithOneLine) {
  StderrCapture log;
  Stopwatch watch;
  EXPECT_EQ(device.ReadHeaderCode(), 0);
  EXPECT_GT(watch.WallSeconds(), kShortTimeout);
  EXPECT_LT(watch.WallSeconds(), kShortTimeout + 0.5);
  EXPECT_LT(watch.CpuSeconds(), 0.05) << "a waiting device must not spin";
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(StartsWith(lines[0], "[err] Library/src/Device:58> timeout waiting for header code: [")) << lines[0];
}

TEST_F(DeviceOnPty, PartialPayloadTimesOutAndStaysQueued) {
  peer.Send(Bytes(10, 0x55));
  peer.AwaitQueued(10);
  StderrCapture log;
  Stopwatch watch;
  EXPECT_EQ(device.ReadBytes(21), 0);
  EXPECT_LT(watch.CpuSeconds(), 0.05) << "waiting for the rest must not spin";
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(StartsWith(lines[0], "[err] Library/src/Device:87> timeout waiting for header code: [")) << lines[0];
  EXPECT_EQ(peer.QueuedTowardsLibrary(), 10);
  EXPECT_EQ(Received(10), Bytes(10, 0)) << "a failed read leaves the buffer alone";
}

TEST_F(DeviceOnPty, FullPayloadIsReadAtOnce) {
  Bytes payload(21);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i + 1);
  peer.Send(payload);
  peer.AwaitQueued(21);
  EXPECT_EQ(device.ReadBytes(21), 21);
  EXPECT_EQ(Received(21), payload);
  EXPECT_EQ(device.ReadBytes(0), 0);
}

TEST_F(DeviceOnPty, OversizedReadIsRefusedWithoutWaiting) {
  peer.Send({1, 2, 3});
  peer.AwaitQueued(3);
  Stopwatch watch;
  EXPECT_EQ(device.ReadBytes(Device::kBufferSize + 1), 0);
  EXPECT_LT(watch.WallSeconds(), 0.1);
  EXPECT_EQ(peer.QueuedTowardsLibrary(), 3);
  EXPECT_EQ(Received(3), Bytes(3, 0));
}

TEST_F(DeviceOnPty, WaitsEndAsSoonAsTheBytesArrive) {
  device.timeout = 5.0f;
  peer.Play({Pause(Millis(50)), Send({0x0B}), Pause(Millis(50)), Send(Bytes(5, 7)), Pause(Millis(20)),
             Send(Bytes(16, 8))});
  Stopwatch watch;
  EXPECT_EQ(device.ReadHeaderCode(), 0x0B);
  EXPECT_EQ(device.ReadBytes(21), 21);
  EXPECT_LT(watch.WallSeconds(), 1.0);
  EXPECT_EQ(Received(21), Join({Bytes(5, 7), Bytes(16, 8)}));
  EXPECT_TRUE(peer.Finish());
}

TEST_F(DeviceOnPty, HangUpEndsEveryWaitAtOnceAsAStreamFailure) {
  device.timeout = 5.0f;
  peer.Play({Pause(Millis(50)), HangUp()});
  StderrCapture log;
  Stopwatch watch;
  EXPECT_EQ(device.ReadHeaderCode(), 0);
  EXPECT_EQ(device.ReadBytes(24), 0);
  EXPECT_EQ(device.ReadHeaderCode(), 0);
  EXPECT_LT(watch.WallSeconds(), 1.0);
  EXPECT_TRUE(peer.Finish());
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "[err] Library/src/Device:75> unable to read header code from stream: [5] Input/output error");
  EXPECT_EQ(lines[1], "[err] Library/src/Device:97> unable to read '24' bytes from stream: [5] Input/output error");
}

TEST_F(DeviceOnPty, StreamStateDecidesBetweenSilentAndReportedFailures) {
  peer.Send({0x2B, 0x2B});
  peer.AwaitQueued(2);
  {
    stream.setstate(std::ios::eofbit | std::ios::failbit);
    StderrCapture log;
    EXPECT_EQ(device.ReadHeaderCode(), 0);
    EXPECT_EQ(device.ReadBytes(2), 0);
    EXPECT_TRUE(log.Lines().empty()) << "end-of-file is silent";
  }
  {
    stream.clear(std::ios::badbit);
    StderrCapture log;
    EXPECT_EQ(device.ReadHeaderCode(), 0);
    EXPECT_EQ(device.ReadBytes(2), 0);
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(StartsWith(lines[0], "[err] Library/src/Device:75> unable to read header code from stream: ["));
    EXPECT_TRUE(StartsWith(lines[1], "[err] Library/src/Device:97> unable to read '2' bytes from stream: ["));
  }
}

TEST_F(DeviceOnPty, StateReplyDecodesBothVectors) {
  peer.Send(Join({{0x2B}, FloatBytes({1, 2, 3, -4, -5, -6})}));
  Vector3 position{}, velocity{};
  device.ReadEndEffectorState(position, velocity);
  EXPECT_EQ(position, (Vector3{1, 2, 3}));
  EXPECT_EQ(velocity, (Vector3{-4, -5, -6}));

  peer.Send(Join({{0x1B}, FloatBytes({10, 20, 30, 0.5f, 0.25f, 0.125f})}));
  Vector3 angles{}, angular_velocities{};
  device.ReadJointState(angles, angular_velocities);
  EXPECT_EQ(angles, (Vector3{10, 20, 30}));
  EXPECT_EQ(angular_velocities, (Vector3{0.5f, 0.25f, 0.125f}));
}

TEST_F(DeviceOnPty, WrongStateHeaderDiscardsAndKeepsOutputs) {
  const Bytes reply = Join({{0x2B}, FloatBytes({1, 2, 3, 4, 5, 6})});
  peer.Send(reply);
  Vector3 angles{9, 9, 9}, angular_velocities{9, 9, 9};
  StderrCapture log;
  device.ReadJointState(angles, angular_velocities);
  EXPECT_EQ(angles, (Vector3{9, 9, 9}));
  EXPECT_EQ(angular_velocities, (Vector3{9, 9, 9}));
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u) << "the 1024-byte discard waits out the time-out";
  EXPECT_TRUE(StartsWith(lines[0], "[err] Library/src/Device:87> "));
  EXPECT_EQ(peer.QueuedTowardsLibrary(), 0) << "the rest of the unexpected reply is dropped";
}

TEST_F(DeviceOnPty, AStrayByteCostsOneExchangeAndNotEveryLaterOne) {
  const Bytes first_reply = Join({{0x2B}, FloatBytes({1, 2, 3, 4, 5, 6})});
  peer.Send(Join({{0x55}, first_reply}));
  peer.AwaitQueued(static_cast<int>(first_reply.size() + 1));
  Vector3 position{9, 9, 9}, velocity{9, 9, 9};
  {
    StderrCapture log;
    device.ReadEndEffectorState(position, velocity);
    EXPECT_EQ(position, (Vector3{9, 9, 9})) << "the stray byte is taken for the header";
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(StartsWith(lines[0], "[err] Library/src/Device:87> timeout waiting for header code: ["));
  }

  peer.Send(Join({{0x2B}, FloatBytes({10, 20, 30, 40, 50, 60})}));
  device.ReadEndEffectorState(position, velocity);
  EXPECT_EQ(position, (Vector3{10, 20, 30})) << "the next exchange reads its own reply";
  EXPECT_EQ(velocity, (Vector3{40, 50, 60}));
}

TEST_F(DeviceOnPty, ShortStateReplyKeepsOutputsWithoutDiscard) {
  peer.Send(Join({{0x2B}, Bytes(23, 1)}));
  Vector3 position{9, 9, 9}, velocity{9, 9, 9};
  StderrCapture log;
  device.ReadEndEffectorState(position, velocity);
  EXPECT_EQ(log.Lines().size(), 1u) << "only the payload time-out, no discard";
  EXPECT_EQ(position, (Vector3{9, 9, 9}));
  EXPECT_EQ(velocity, (Vector3{9, 9, 9}));
  EXPECT_EQ(peer.QueuedTowardsLibrary(), 23);
}

}  // namespace

namespace {

TEST_F(DeviceOnPty, SignalsNeitherEndAWaitEarlyNorLoseBytes) {
  device.timeout = 5.0f;
  const Bytes payload = Join({Bytes(10, 1), Bytes(14, 2)});
  peer.Play({Pause(Millis(100)), Send({0x2B}), Pause(Millis(100)), Send(Bytes(10, 1)), Pause(Millis(100)),
             Send(Bytes(14, 2))});
  const int before = SignalStorm::Delivered();
  Stopwatch watch;
  {
    SignalStorm storm(std::chrono::microseconds(50));
    EXPECT_EQ(device.ReadHeaderCode(), 0x2B);
    EXPECT_EQ(device.ReadBytes(24), 24);
  }
  EXPECT_GE(watch.WallSeconds(), 0.3);
  EXPECT_EQ(Received(24), payload);
  // Signals did arrive during the waits; how many depends on how busy the machine is.
  EXPECT_GT(SignalStorm::Delivered() - before, 10);
  EXPECT_TRUE(peer.Finish());
}

TEST_F(DeviceOnPty, SignalsDoNotCutATimeOutShort) {
  StderrCapture log;
  Stopwatch watch;
  {
    SignalStorm storm(std::chrono::microseconds(50));
    EXPECT_EQ(device.ReadHeaderCode(), 0);
  }
  EXPECT_GT(watch.WallSeconds(), kShortTimeout);
  EXPECT_EQ(log.Lines().size(), 1u);
}

}  // namespace

namespace {

TEST_F(DeviceOnPty, HangUpInTheMiddleOfAPayloadEndsTheReadAtOnce) {
  device.timeout = 5.0f;
  peer.Play({Send(Join({{0x2B}, FloatBytes({1, 2})})), Pause(Millis(20)), HangUp()});
  Vector3 position{9, 9, 9}, velocity{9, 9, 9};
  StderrCapture log;
  Stopwatch watch;
  device.ReadEndEffectorState(position, velocity);
  EXPECT_LT(watch.WallSeconds(), 0.5);
  EXPECT_LT(watch.CpuSeconds(), 0.05);
  EXPECT_EQ(position, (Vector3{9, 9, 9}));
  EXPECT_EQ(velocity, (Vector3{9, 9, 9}));
  EXPECT_TRUE(peer.Finish());
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "[err] Library/src/Device:97> unable to read '24' bytes from stream: [5] Input/output error");
}

}  // namespace
