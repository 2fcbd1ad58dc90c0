// The outcome of each operation (Device::LastError) on a plain SerialStream, where the
// failure values and log lines stay what they always were.
#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "PtyPeer.h"
#include "StderrCapture.h"
#include "Tavix/HardwareAPI/ArmGeometry.h"
#include "Tavix/HardwareAPI/Devices/Handle.h"
#include "Tavix/HardwareAPI/Devices/Morvek3.h"

using Tavix::HardwareAPI::ArmGeometry;
using Tavix::HardwareAPI::UUID;
using namespace Tavix::HardwareAPI::Devices;
using Tavix::HardwareAPI::IO::SerialStream;
using namespace Tavix::Testing;

namespace {

std::error_code SystemError(int error) { return std::error_code(error, std::system_category()); }

class OutcomeOnPlainStream : public testing::Test {
 protected:
  OutcomeOnPlainStream() {
    arm.timeout = 0.2f;
    handle.timeout = 0.2f;
  }
  ~OutcomeOnPlainStream() override { ArmGeometry::Instance().configure(); }

  PtyPeer peer;
  SerialStream stream{peer.Path().c_str()};
  Morvek3 arm{&stream};
  Handle handle{&stream};
};

TEST(DeviceErrorCategory, NamesItsCodesAndMatchesTheStandardConditions) {
  EXPECT_EQ(DeviceCategory().name(), std::string("tavix-device"));
  EXPECT_EQ(std::error_code(DeviceErrc::timed_out), std::errc::timed_out);
  EXPECT_EQ(std::error_code(DeviceErrc::wrong_header), std::errc::protocol_error);
  EXPECT_EQ(std::error_code(DeviceErrc::malformed_reply), std::errc::protocol_error);
  EXPECT_NE(std::error_code(DeviceErrc::wrong_header), std::errc::timed_out);
  EXPECT_FALSE(std::error_code(DeviceErrc::malformed_reply).message().empty());
}

TEST_F(OutcomeOnPlainStream, EachOperationStartsAfreshAndKeepsItsFirstFailure) {
  peer.Send({0x0B});  // the header of a reply whose payload never comes
  EXPECT_EQ(arm.ReceiveDeviceInfo().device_id, 0);
  EXPECT_EQ(arm.LastError(), DeviceErrc::timed_out);

  peer.Send({0xAC, 0x00});
  EXPECT_FALSE(arm.GetPowerStatus());
  EXPECT_FALSE(arm.LastError()) << "a power byte 0 is data, not a failure";

  // A wrong header, then the discard that waits out the time-out: the header is why.
  peer.Send({0x1B});
  EXPECT_EQ(arm.EndEffectorForce({0, 0, 0}).position[0], 0.0f);
  EXPECT_EQ(arm.LastError(), DeviceErrc::wrong_header);

  peer.Send({0x0D, 0xD1, 0x0F});
  peer.Send(Bytes(16, 0x11));
  EXPECT_EQ(arm.GetDeviceID().bytes, UUID{}.bytes);
  EXPECT_EQ(arm.LastError(), DeviceErrc::malformed_reply);
}

TEST_F(OutcomeOnPlainStream, HandleReportsUnknownCodesMalformedFramesAndSilence) {
  peer.Send({0x55});
  EXPECT_EQ(handle.Receive(), -1);
  EXPECT_EQ(handle.LastError(), DeviceErrc::wrong_header);

  peer.Send(Join({{0xDA}, Bytes(10, 0x01), {0xC0}, Bytes(8, 0x02)}));  // END after 10 body bytes
  EXPECT_EQ(handle.GetGantrelStatus().error_flag, 1);
  EXPECT_EQ(handle.LastError(), DeviceErrc::malformed_reply);

  EXPECT_EQ(handle.GetGantrelStatus().error_flag, 2);
  EXPECT_EQ(handle.LastError(), DeviceErrc::timed_out);
}

TEST_F(OutcomeOnPlainStream, PortFailuresCarryTheErrnoOfTheFailingCall) {
  peer.HangUp();
  StderrCapture log;
  errno = ENOENT;  // left by an earlier call: must not show up as the outcome
  EXPECT_EQ(arm.GetTemperature(), 0.0f);
  EXPECT_EQ(arm.LastError(), SystemError(EIO)) << "the write's errno: it failed first";
  EXPECT_EQ(log.Lines().size(), 3u) << "the write, the header and the discard, as before";

  StderrCapture write_log;
  SerialStream never_opened("/dev/does-not-exist-tty");
  Morvek3 orphan(&never_opened);
  orphan.SendForce({1, 2, 3});
  EXPECT_EQ(orphan.LastError(), SystemError(EBADF));
  EXPECT_EQ(write_log.Lines(), std::vector<std::string>{"[err] Library/src/SerialStream:53> unable to write "
                                                        "'13' bytes to stream: [2] No such file or directory"})
      << "the line still shows why the port did not open";
}

}  // namespace
