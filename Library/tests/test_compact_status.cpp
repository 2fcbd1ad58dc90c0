#include <algorithm>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "CompactStatus.h"
#include "HandleProtocol.h"

using namespace Tavix::HardwareAPI::CompactStatus;
using namespace Tavix::HardwareAPI::HandleProtocol;
using Bytes = std::vector<uint8_t>;

namespace {

// A frame of `fill` bytes with `start` written over its first bytes.
Bytes Frame(Bytes start, uint8_t fill = 0x11) {
  start.resize(kCompactFrameLength, fill);
  return start;
}

Bytes Unstuffed(const Bytes& frame) {
  const UnstuffedBody body = Unstuff(frame.data());
  return Bytes(body.bytes.begin(), body.bytes.begin() + static_cast<long>(body.length));
}

Bytes Repeat(std::size_t count, uint8_t byte = 0x11) { return Bytes(count, byte); }

Bytes Join(Bytes first, const Bytes& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

TEST(CompactStatusUnstuff, PlainBodyComesOutWholeAndTheLastByteIsNotExamined) {
  EXPECT_EQ(Unstuffed(Join(Repeat(18), {kSlipEnd})), Repeat(18));
  EXPECT_EQ(Unstuffed(Join(Repeat(18), {kSlipEsc})), Repeat(18));
}

TEST(CompactStatusUnstuff, EscapePairsStandForEndAndEsc) {
  EXPECT_EQ(Unstuffed(Frame({kSlipEsc, kSlipEscEnd, kSlipEsc, kSlipEscEsc})),
            Join({kSlipEnd, kSlipEsc}, Repeat(14)))
      << "two pairs use four of the 18 positions scanned";
  EXPECT_EQ(Unstuffed(Join(Repeat(17), {kSlipEsc, kSlipEscEnd})), Join(Repeat(17), {kSlipEnd}))
      << "only a pair at the end can be completed by the 19th byte";
}

TEST(CompactStatusUnstuff, EndAndLoneEscCarryNothing) {
  EXPECT_EQ(Unstuffed(Frame({0x01, kSlipEnd, 0x02})), Join({0x01, 0x02}, Repeat(15)));
  EXPECT_EQ(Unstuffed(Frame({kSlipEsc, kSlipEsc, kSlipEscEnd})), Join({kSlipEnd}, Repeat(15)))
      << "the byte after a lone ESC is read as the start of a new symbol";
  EXPECT_EQ(Unstuffed(Frame({kSlipEsc, 0x41})), Join({0x41}, Repeat(16)));
}

TEST(CompactStatusConversion, Q15ValuesAreSignedFractions) {
  EXPECT_EQ(Q15ToFloat(0x0000), 0.0f);
  EXPECT_EQ(Q15ToFloat(0x8000), -1.0f);
  EXPECT_EQ(Q15ToFloat(0xC000), -0.5f);
  EXPECT_EQ(Q15ToFloat(0x4000), 0.5f);
  EXPECT_EQ(Q15ToFloat(0x7FFF), 0.999969482421875f);
  EXPECT_EQ(Q15ToFloat(0xFFFF), -0.000030517578125f);
}

TEST(CompactStatusConversion, BatteryLevelIsRoundedOnceFromDouble) {
  EXPECT_EQ(BatteryLevel(0), 3.0f);
  EXPECT_EQ(BatteryLevel(100), 3.5f);
  EXPECT_EQ(BatteryLevel(200), 4.0f);
  EXPECT_EQ(BatteryLevel(255), 4.275000095367432f);
  EXPECT_EQ(BatteryLevel(1), 3.005000114440918f);
}

TEST(CompactStatusDecode, BodyFieldsComeFromTheirOffsets) {
  Bytes body = Repeat(kCompactBodyLength, 0xFF);
  body[CompactBody::kErrorFlag] = 3;
  body[CompactBody::kSensors] = 0xE5;
  body[CompactBody::kDeviceId] = 0x42;
  const Bytes quaternion = {0x00, 0x80, 0x00, 0xC0, 0x00, 0x40, 0xFF, 0x7F};
  std::copy(quaternion.begin(), quaternion.end(), body.begin() + CompactBody::kQuaternion);
  body[CompactBody::kBattery] = 100;

  const auto status = DecodeBody(body.data());
  EXPECT_EQ(status.error_flag, 3);
  EXPECT_EQ(status.buttons, 7);
  EXPECT_EQ(status.hall_effect_sensor_level, 5);
  EXPECT_EQ(status.device_id, 0x42);
  EXPECT_EQ(status.quaternion[0], -1.0f);
  EXPECT_EQ(status.quaternion[1], -0.5f);
  EXPECT_EQ(status.quaternion[2], 0.5f);
  EXPECT_EQ(status.quaternion[3], 0.999969482421875f);
  EXPECT_EQ(status.battery_level, 3.5f);
}

TEST(CompactStatusDecode, ShortBodyGivesMalformedFrameAndZeros) {
  const auto status = DecodeFrame(Frame({0x01, 0x02, kSlipEnd}).data());
  EXPECT_EQ(status.error_flag, kErrorFlagMalformedFrame);
  EXPECT_EQ(status.device_id, 0);
  EXPECT_EQ(status.buttons, 0);
  EXPECT_EQ(status.battery_level, 0.0f);
  EXPECT_EQ(status.quaternion[0], 0.0f);
}

}  // namespace
