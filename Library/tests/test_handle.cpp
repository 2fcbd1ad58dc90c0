#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Devices/HandleProtocol.h"
#include "PtyPeer.h"
#include "StderrCapture.h"
#include "Timing.h"
#include "Tavix/HardwareAPI/Devices/Handle.h"

using namespace Tavix::HardwareAPI::Devices;
using namespace Tavix::HardwareAPI::HandleProtocol;
using Tavix::HardwareAPI::IO::SerialStream;
using namespace Tavix::Testing;

namespace {

constexpr float kShortTimeout = 0.2f;

// " 7 4660 2": the arguments of a call, bytes as numbers.
template <typename... Args>
std::string Arguments(const Args&... args) {
  std::ostringstream text;
  ((text << ' ' << +args), ...);
  return text.str();
}

// Notes every callback in call order, the field forms with their arguments, and keeps
// the last record of each kind.
class RecordingHandle : public Handle {
 public:
  using Handle::Handle;

  void OnReceiveHandleInfo(uint8_t tool_data_remaining, uint16_t device_id, uint8_t device_model_number,
                           uint8_t hardware_version, uint8_t firmware_version) override {
    Note("Info" + Arguments(tool_data_remaining, device_id, device_model_number, hardware_version,
                            firmware_version));
  }
  void OnReceiveHandleStatusMessage(uint16_t device_id, const float* q, uint8_t error_flag,
                                    uint8_t hall_level, uint8_t user_data_length,
                                    const uint8_t* user_data) override {
    Note("Status" + Arguments(device_id, q[0], q[1], q[2], q[3], error_flag, hall_level, user_data_length));
    user_data_from_fields.assign(user_data, user_data + user_data_length);
  }
  void OnReceiveHandleErrorResponse(uint16_t device_id, uint8_t error_code) override {
    Note("Error" + Arguments(device_id, error_code));
  }
  void OnReceiveHandleInfoRecord(const HandleInfo& record) override {
    Note("InfoRecord");
    info = record;
  }
  void OnReceiveHandleStatusRecord(const HandleStatusMessage& record) override {
    Note("StatusRecord");
    status = record;
  }
  void OnReceiveHandleErrorRecord(const HandleErrorResponse& record) override {
    Note("ErrorRecord");
    error = record;
  }

  bool field_forms_throw = false;
  std::vector<std::string> calls;
  Bytes user_data_from_fields;
  HandleInfo info;
  HandleStatusMessage status;
  HandleErrorResponse error;

 private:
  void Note(const std::string& call) {
    calls.push_back(call);
    if (field_forms_throw && call.find("Record") == std::string::npos) throw std::runtime_error(call);
  }
};

// A recording handle on a pseudo-terminal, with a short time-out so that failures are quick.
class HandleOnPty : public testing::Test {
 protected:
  HandleOnPty() { handle.timeout = kShortTimeout; }

  PtyPeer peer;
  SerialStream stream{peer.Path().c_str()};
  RecordingHandle handle{&stream};
};

const Bytes kInfoReply = {0xD0, 0x07, 0x34, 0x12, 0x02, 0x03, 0x04};
const Bytes kErrorReply = {0xDF, 0x01, 0x00, 0x05};

Bytes StatusReply(uint8_t user_data_length) {
  Bytes user_data(user_data_length);
  for (std::size_t i = 0; i < user_data.size(); ++i) user_data[i] = static_cast<uint8_t>(i + 1);
  return Join({{kStatusCode, 0x34, 0x12, 0x09, 0x1F}, FloatBytes({2.0f, -0.5f, 0.25f, 7.0f}), {user_data_length},
               user_data});
}

// A compact frame's body; with the default device id none of its bytes needs stuffing.
Bytes CompactStatusBody(uint8_t device_id = 0x2C) {
  Bytes body(kCompactBodyLength, 0x01);
  body[CompactBody::kErrorFlag] = 0;
  body[CompactBody::kSensors] = 0xE5;
  body[CompactBody::kDeviceId] = device_id;
  const Bytes quaternion = {0x00, 0x80, 0x00, 0x40, 0xFF, 0x7F, 0xFF, 0xFF};  // none needs stuffing
  std::copy(quaternion.begin(), quaternion.end(), body.begin() + CompactBody::kQuaternion);
  body[CompactBody::kBattery] = 255;
  return body;
}

// The code, `body` stuffed by SLIP, and the closing END.
Bytes FrameAround(const Bytes& body) { return Join({{kStatusCode}, SlipFrame(body)}); }

Bytes CompactFrame(uint8_t device_id = 0x2C) { return FrameAround(CompactStatusBody(device_id)); }

void ExpectFailure(const GantrelStatus& status, uint8_t error_flag) {
  EXPECT_EQ(status.error_flag, error_flag);
  EXPECT_EQ(status.device_id, 0);
  for (const float component : status.quaternion) EXPECT_EQ(component, 0.0f);
  EXPECT_EQ(status.hall_effect_sensor_level, 0);
  EXPECT_EQ(status.buttons, 0);
  EXPECT_EQ(status.battery_level, 0.0f);
}

using Calls = std::vector<std::string>;

TEST_F(HandleOnPty, ReceiveDecodesEachReplyAndCallsTheFieldFormFirst) {
  peer.Send(Join({kInfoReply, StatusReply(0), kErrorReply}));
  EXPECT_EQ(handle.Receive(), 6);
  EXPECT_EQ(handle.Receive(), 21);
  EXPECT_EQ(handle.Receive(), 3);
  EXPECT_EQ(handle.calls, (Calls{"Info 7 4660 2 3 4", "InfoRecord", "Status 4660 2 -0.5 0.25 7 9 31 0",
                                 "StatusRecord", "Error 1 5", "ErrorRecord"}))
      << "quaternions pass through as sent, not normalised";
  EXPECT_EQ(handle.info.device_id, 0x1234);
  EXPECT_EQ(handle.info.firmware_version, 4);
  EXPECT_EQ(handle.status.quaternion[3], 7.0f);
  EXPECT_EQ(handle.status.hall_effect_sensor_level, 31);
  EXPECT_EQ(handle.error.error_code, 5);
}

TEST_F(HandleOnPty, ReceiveDeliversAllOfTheLongestUserData) {
  const Bytes reply = StatusReply(255);
  peer.Send(reply);
  EXPECT_EQ(handle.Receive(), 276);
  const Bytes user_data(reply.end() - 255, reply.end());
  EXPECT_EQ(handle.user_data_from_fields, user_data);
  EXPECT_EQ(Bytes(handle.status.user_data, handle.status.user_data + 255), user_data);
}

TEST_F(HandleOnPty, UnknownCodeConsumesOneByteAndCallsNothing) {
  peer.Send(Join({{0x55}, kErrorReply}));
  EXPECT_EQ(handle.Receive(), -1);
  EXPECT_TRUE(handle.calls.empty());
  EXPECT_EQ(handle.Receive(), 3) << "the byte after the unknown code is read as a new code";
}

TEST_F(HandleOnPty, SilenceEndsReceiveWithMinusOne) {
  StderrCapture log;
  EXPECT_EQ(handle.Receive(), -1);
  EXPECT_TRUE(handle.calls.empty());
  EXPECT_EQ(log.Lines().size(), 1u);
}

TEST_F(HandleOnPty, CallbackExceptionPropagatesAndSkipsTheRecordForm) {
  handle.field_forms_throw = true;
  peer.Send(Join({kInfoReply, kErrorReply}));
  EXPECT_THROW(handle.Receive(), std::runtime_error);
  EXPECT_EQ(handle.calls, Calls{"Info 7 4660 2 3 4"});
  handle.field_forms_throw = false;
  EXPECT_EQ(handle.Receive(), 3) << "the info reply stays consumed";
}

TEST_F(HandleOnPty, ShortPayloadCallsNothingAndReturnsTheShortCount) {
  peer.Send(kInfoReply);
  ASSERT_EQ(handle.Receive(), 6);
  handle.calls.clear();
  StderrCapture log;
  peer.Send({0xD0});
  EXPECT_EQ(handle.Receive(), 0) << "the buffer still holds the earlier reply; it must not be delivered";
  const Bytes status = StatusReply(10);
  peer.Send(Bytes(status.begin(), status.end() - 4));
  EXPECT_EQ(handle.Receive(), 21) << "the fixed part arrived, the user data did not";
  EXPECT_TRUE(handle.calls.empty());
  EXPECT_EQ(log.Lines().size(), 2u) << "one payload time-out each";
}

TEST_F(HandleOnPty, RequestsWriteTheirMessageBytes) {
  handle.SendDeviceWakeup();
  EXPECT_EQ(peer.Receive(1), Bytes{0x0A});
  handle.RequestStatus();
  EXPECT_EQ(peer.Receive(1), Bytes{0xDA});
  handle.SendHandleState(0x0102, 0, nullptr);
  EXPECT_EQ(peer.Receive(4), (Bytes{0xDB, 0x02, 0x01, 0x00}));
  const uint8_t user_data[] = {0xAA, 0xBB, 0xCC};
  handle.SendHandleState(7, 3, user_data);
  EXPECT_EQ(peer.Receive(7), (Bytes{0xDB, 0x07, 0x00, 0x03, 0xAA, 0xBB, 0xCC}));
  EXPECT_TRUE(peer.Drain().empty());
}

TEST_F(HandleOnPty, HandleStateWithLengthButNoDataIsRejectedUnsent) {
  EXPECT_THROW(handle.SendHandleState(7, 1, nullptr), std::invalid_argument);
  EXPECT_TRUE(peer.Drain().empty());
}

TEST_F(HandleOnPty, GantrelStatusDecodesACleanFrameAfterStrayBytes) {
  peer.Send(Join({{0x55, 0xD0}, CompactFrame()}));
  const GantrelStatus status = handle.GetGantrelStatus();
  EXPECT_EQ(status.error_flag, 0);
  EXPECT_EQ(status.device_id, 0x2C);
  EXPECT_EQ(status.buttons, 7);
  EXPECT_EQ(status.hall_effect_sensor_level, 5);
  const float expected[4] = {-1.0f, 0.5f, 0.999969482421875f, -0.000030517578125f};
  for (int k = 0; k < 4; ++k) EXPECT_EQ(status.quaternion[k], expected[k]);
  EXPECT_EQ(status.battery_level, 4.275000095367432f);
}

TEST_F(HandleOnPty, GantrelStatusReadsAStuffedFrameToItsEndAndLeavesTheNextFrameIntact) {
  Bytes body = CompactStatusBody(kSlipEnd);
  body[0] = kSlipEnd;
  body[1] = kSlipEsc;
  body[5] = body[6] = body[7] = kSlipEsc;
  body[CompactBody::kBattery] = kSlipEsc;
  body[kCompactBodyLength - 1] = kSlipEsc;  // an escape pair right before the END
  const Bytes stuffed = FrameAround(body);
  ASSERT_EQ(stuffed.size(), 1 + kCompactBodyLength + 8 + 1);
  const Bytes next = CompactFrame(0x2D);
  peer.Send(Join({stuffed, next}));
  peer.AwaitQueued(static_cast<int>(stuffed.size() + next.size()));

  const GantrelStatus status = handle.GetGantrelStatus();
  EXPECT_EQ(status.error_flag, 0);
  EXPECT_EQ(status.device_id, kSlipEnd);
  EXPECT_EQ(status.buttons, 7);
  EXPECT_EQ(status.battery_level, static_cast<float>(3.0 + 0.005 * kSlipEsc));
  EXPECT_EQ(peer.QueuedTowardsLibrary(), static_cast<int>(next.size())) << "no byte past the END was taken";

  const GantrelStatus following = handle.GetGantrelStatus();
  EXPECT_EQ(following.error_flag, 0);
  EXPECT_EQ(following.device_id, 0x2D);
  EXPECT_EQ(following.battery_level, 4.275000095367432f);
}

TEST_F(HandleOnPty, GantrelStatusReportsAnEndInsideTheBodyAsMalformed) {
  Bytes frame = CompactFrame();
  frame[1 + CompactBody::kDeviceId] = kSlipEnd;
  peer.Send(frame);
  ExpectFailure(handle.GetGantrelStatus(), kErrorFlagMalformedFrame);
}

TEST_F(HandleOnPty, GantrelStatusReportsNoFrameOnASilentPort) {
  StderrCapture log;
  ExpectFailure(handle.GetGantrelStatus(), kErrorFlagNoFrame);
}

TEST_F(HandleOnPty, GantrelStatusGivesUpOnAPortSendingOnlyOtherBytes) {
  std::vector<PeerStep> chatter;
  for (int i = 0; i < 100; ++i) chatter.insert(chatter.end(), {Send({0x55}), Pause(Millis(5))});
  peer.Play(chatter);
  Stopwatch watch;
  ExpectFailure(handle.GetGantrelStatus(), kErrorFlagNoFrame);
  EXPECT_LT(watch.WallSeconds(), kShortTimeout + 0.15);
  EXPECT_TRUE(peer.Finish());
}

TEST_F(HandleOnPty, ShortFrameIsMalformedEvenAfterAGoodFrameFilledTheBuffer) {
  peer.Send(CompactFrame());
  ASSERT_EQ(handle.GetGantrelStatus().device_id, 0x2C);
  StderrCapture log;
  peer.Send({kStatusCode, 0x01, 0x01, 0x01});
  ExpectFailure(handle.GetGantrelStatus(), kErrorFlagMalformedFrame);
}

}  // namespace
