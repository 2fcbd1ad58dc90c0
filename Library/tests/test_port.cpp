// IO::Port, and devices on a Port: every failure reported, and reported fast.
#include <cerrno>
#include <cmath>
#include <limits>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include "CheckedSimulator.h"
#include "PtyPeer.h"
#include "StderrCapture.h"
#include "Tavix/HardwareAPI/ArmGeometry.h"
#include "Tavix/HardwareAPI/Devices/Handle.h"
#include "Tavix/HardwareAPI/Devices/Morvek3.h"
#include "Tavix/HardwareAPI/IO/Port.h"

using Tavix::HardwareAPI::ArmGeometry;
using namespace Tavix::HardwareAPI::Devices;
using Tavix::HardwareAPI::IO::Port;
using namespace Tavix::Testing;

namespace {

int OpenFailure(const std::string& path) {
  try {
    Port port(path);
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().category(), std::system_category());
    EXPECT_EQ(std::string(error.what()).rfind("cannot open " + path + ": ", 0), 0u) << error.what();
    return error.code().value();
  }
  ADD_FAILURE() << path << " opened";
  return 0;
}

TEST(PortOpening, ThrowsWithTheErrnoOfTheCallThatRefusedThePort) {
  EXPECT_EQ(OpenFailure("/dev/does-not-exist-tty"), ENOENT);
  EXPECT_EQ(OpenFailure("/dev/null"), ENOTTY);
  PtyPeer peer;
  Port first(peer.Path());
  EXPECT_TRUE(first.IsOpen());
  EXPECT_EQ(OpenFailure(peer.Path()), EWOULDBLOCK) << "one holder per port";
}

TEST(PortOpening, KeepsItsTimeOutZeroMeaningNoLimit) {
  PtyPeer peer;
  Port port(peer.Path());
  EXPECT_EQ(port.Timeout(), Port::kDefaultTimeout);
  port.SetTimeout(-1);
  EXPECT_EQ(port.Timeout(), 0.0);
  port.SetTimeout(0.25);
  EXPECT_EQ(port.Timeout(), 0.25);
}

TEST(PortOpening, TakesATinyPositiveTimeOutAsTheShortestNeverAsNoLimit) {
  PtyPeer peer;
  Port port(peer.Path(), 1e-300);
  EXPECT_EQ(port.Timeout(), Port::kMinTimeout);
  port.SetTimeout(std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(port.Timeout(), Port::kMinTimeout);
  Morvek3 arm(&port);
  StderrCapture log;
  arm.GetTemperature();  // the peer never answers: this must not wait for ever
  EXPECT_EQ(arm.LastError(), DeviceErrc::timed_out);
  EXPECT_GT(arm.timeout, 0.0f);
}

class ArmOnPort : public testing::Test {
 protected:
  ~ArmOnPort() override { ArmGeometry::Instance().configure(); }

  PtyPeer peer;
  Port port{peer.Path(), 0.2};
  Morvek3 arm{&port};
};

TEST_F(ArmOnPort, TakesThePortsTimeOutAtEachOperation) {
  peer.Play({Expect({0xAC}), Send({0xAC, 0x01})});
  EXPECT_TRUE(arm.GetPowerStatus());
  EXPECT_TRUE(peer.Finish());
  EXPECT_FALSE(arm.LastError());
  EXPECT_EQ(arm.timeout, 0.2f);
  port.SetTimeout(0.1);
  arm.RequestCurrent();
  EXPECT_EQ(arm.timeout, 0.1f);
}

TEST_F(ArmOnPort, ClosedPortFailsWithEbadfSendingAndLoggingNothing) {
  port.Close();
  StderrCapture log;
  EXPECT_EQ(arm.EndEffectorForce({1, 2, 3}).position[0], 0.0f);
  EXPECT_EQ(arm.LastError(), std::error_code(EBADF, std::system_category()));
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_TRUE(peer.Drain().empty());
}

TEST_F(ArmOnPort, WrongHeaderDrainsTheLineInsteadOfWaitingForTheDiscard) {
  peer.Play({Expect(Join({{0x2A}, Bytes(12, 0)})), Send(Join({{0x1B}, Bytes(40, 0x11)}))});  // another command's reply
  StderrCapture log;
  EXPECT_EQ(arm.EndEffectorForce({0, 0, 0}).position[0], 0.0f);
  EXPECT_TRUE(peer.Finish());
  EXPECT_EQ(arm.LastError(), DeviceErrc::wrong_header);
  EXPECT_TRUE(log.Lines().empty()) << "no discard read, so no time-out line";
  EXPECT_EQ(peer.QueuedTowardsLibrary(), 0) << "what came was dropped";
}

TEST_F(ArmOnPort, OneTimeOutIsOneWait) {
  StderrCapture log;
  arm.GetDeviceID();  // two header codes: the second is not waited for
  EXPECT_EQ(arm.LastError(), DeviceErrc::timed_out);
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("[err] Library/src/Device:58> ", 0), 0u);
}

// The simulated arm answers each request `delay_us` after it came, reading the next
// requests meanwhile; the port waits 10 ms for a reply. Returns how many of `exchanges`
// force exchanges reported success.
int SucceededExchanges(const char* delay_us, int exchanges) {
  CheckedSimulator simulator({"arm", "--reply-delay-us", delay_us});
  Port port(simulator.PortPath(), 0.01);
  Morvek3 arm(&port);
  const StderrCapture log;  // a line per time-out
  int succeeded = 0;
  for (int i = 0; i < exchanges; ++i) {
    arm.EndEffectorForce({0.0f, 0.0f, 0.1f});
    if (!arm.LastError()) ++succeeded;
  }
  return succeeded;
}

TEST(LateRepliesOnPort, AreNeverTakenForTheReplyToALaterRequest) {
  // Every reply comes 10 ms after its exchange gave up on it, while a later exchange
  // waits for its own: none may succeed on it.
  EXPECT_EQ(SucceededExchanges("20000", 40), 0);
  // Replies within the time-out are taken, and a late one does not throw the count off.
  EXPECT_EQ(SucceededExchanges("1000", 40), 40);
}

TEST_F(ArmOnPort, RestOfAReplyGivenUpOnIsDroppedBeforeTheNextReply) {
  // Half a temperature reply in time, its rest late, while the next exchange waits.
  port.SetTimeout(0.05);
  peer.Play({Expect({0xAA}), Send({0xAA, 0x00})});
  StderrCapture log;
  EXPECT_EQ(arm.GetTemperature(), 0.0f);
  EXPECT_EQ(arm.LastError(), DeviceErrc::timed_out);
  EXPECT_TRUE(peer.Finish());
  peer.Play({Pause(Millis(20)), Send({0x00, 0x00, 0x00}), Expect({0xAA}), Send(Join({{0xAA}, FloatBytes({25.0f})}))});
  EXPECT_EQ(arm.GetTemperature(), 25.0f);
  EXPECT_FALSE(arm.LastError());
  EXPECT_TRUE(peer.Finish());
}

TEST_F(ArmOnPort, FailedCalibrationLeavesTheGeometryAlone) {
  const auto before = arm.Geometry().ForwardKinematics({10, 20, 30});
  arm.AdjustAngles({45, 45, 45});
  EXPECT_EQ(arm.LastError(), DeviceErrc::timed_out);
  EXPECT_EQ(arm.Geometry().ForwardKinematics({10, 20, 30}), before);
}

TEST(HandleOnPort, ReceiveDropsTheRestOfAnUnknownReplyAndSkipsZerosBeforeAFrame) {
  PtyPeer peer;
  Port port(peer.Path(), 0.2);
  Handle handle(&port);
  peer.Send({0x55, 0x01, 0x02, 0x03});
  EXPECT_EQ(handle.Receive(), -1);
  EXPECT_EQ(handle.LastError(), DeviceErrc::wrong_header);
  EXPECT_EQ(peer.QueuedTowardsLibrary(), 0);

  peer.Send(Join({{0x00, 0xDA}, Bytes(18, 0x01), {0xC0}}));
  EXPECT_EQ(handle.GetGantrelStatus().error_flag, 1) << "the handle's own flag";
  EXPECT_FALSE(handle.LastError());
}

}  // namespace
