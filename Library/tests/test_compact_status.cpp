#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Devices/CompactStatus.h"
#include "Devices/HandleProtocol.h"

using namespace Tavix::HardwareAPI::CompactStatus;
using namespace Tavix::HardwareAPI::HandleProtocol;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Repeat(std::size_t count, uint8_t byte = 0x11) { return Bytes(count, byte); }

Bytes Join(Bytes first, const Bytes& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// The body bytes found in `encoded`, and whether an END closed them.
std::pair<Bytes, bool> Unstuffed(const Bytes& encoded) {
  const UnstuffedBody body = Unstuff(encoded.data(), encoded.size());
  const std::size_t kept = std::min(body.length, body.bytes.size());
  return {Bytes(body.bytes.begin(), body.bytes.begin() + static_cast<long>(kept)), body.ended};
}

std::size_t Missing(const Bytes& encoded) { return MissingFrameBytes(encoded.data(), encoded.size()); }

TEST(CompactStatusUnstuff, EndClosesTheBodyAndWhatFollowsIsNotLookedAt) {
  EXPECT_EQ(Unstuffed(Join(Repeat(18), {kSlipEnd, 0x22, 0x33})), std::make_pair(Repeat(18), true));
  EXPECT_EQ(Unstuffed(Join({0x01, kSlipEnd}, Repeat(17))), std::make_pair(Bytes{0x01}, true));
  EXPECT_EQ(Unstuffed(Repeat(18)), std::make_pair(Repeat(18), false));
}

TEST(CompactStatusUnstuff, EscapePairsStandForEndAndEsc) {
  EXPECT_EQ(Unstuffed(Join({kSlipEsc, kSlipEscEnd, kSlipEsc, kSlipEscEsc}, Join(Repeat(16), {kSlipEnd}))),
            std::make_pair(Join({kSlipEnd, kSlipEsc}, Repeat(16)), true));
  EXPECT_EQ(Unstuffed(Join(Repeat(17), {kSlipEsc, kSlipEscEsc, kSlipEnd})),
            std::make_pair(Join(Repeat(17), {kSlipEsc}), true))
      << "a pair at the very end of the body";
}

TEST(CompactStatusUnstuff, LoneEscCarriesNothing) {
  EXPECT_EQ(Unstuffed({kSlipEsc, kSlipEsc, kSlipEscEnd}), std::make_pair(Bytes{kSlipEnd}, false))
      << "the byte after a lone ESC is read as the start of a new symbol";
  EXPECT_EQ(Unstuffed({kSlipEsc, 0x41}), std::make_pair(Bytes{0x41}, false));
  EXPECT_EQ(Unstuffed({0x41, kSlipEsc, kSlipEnd}), std::make_pair(Bytes{0x41}, true));
  EXPECT_EQ(Unstuffed({0x41, kSlipEsc}), std::make_pair(Bytes{0x41}, false)) << "an ESC without its partner yet";
}

TEST(CompactStatusUnstuff, TooLongABodyIsCountedButNotKept) {
  const UnstuffedBody body = Unstuff(Repeat(20).data(), 20);
  EXPECT_EQ(body.length, 20u);
  EXPECT_FALSE(body.ended);
}

TEST(CompactStatusFrameLength, MissingBytesAreTheBodyStillToComeAndTheEnd) {
  EXPECT_EQ(Missing(Repeat(18)), 1u);
  EXPECT_EQ(Missing(Join(Repeat(18), {kSlipEnd})), 0u);
  EXPECT_EQ(Missing(Join({kSlipEsc, kSlipEscEnd, kSlipEsc, kSlipEscEsc}, Repeat(15))), 2u)
      << "two escapes in 19 bytes: 17 body bytes so far";
  EXPECT_EQ(Missing(Join(Repeat(18), {kSlipEsc})), 1u) << "an ESC whose partner is still to come";
  EXPECT_EQ(Missing(Join({0x01, kSlipEnd}, Repeat(17))), 0u) << "an early END settles the frame";
  EXPECT_EQ(Missing(Repeat(19)), 0u) << "a body already too long cannot be completed";
  Bytes lone_escapes;
  for (int i = 0; i < 9; ++i) lone_escapes.insert(lone_escapes.end(), {kSlipEsc, 0x41});
  EXPECT_EQ(Missing(lone_escapes), 10u) << "lone ESCs carry nothing";
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

TEST(CompactStatusDecode, StuffedBodyDecodes) {
  Bytes encoded = Repeat(kCompactBodyLength, 0x00);
  encoded[CompactBody::kDeviceId] = kSlipEsc;  // body byte 4 is END: ESC ESC_END
  encoded.insert(encoded.begin() + CompactBody::kDeviceId + 1, kSlipEscEnd);
  encoded.back() = kSlipEsc;  // body byte 17 is ESC: ESC ESC_ESC, then END
  encoded.insert(encoded.end(), {kSlipEscEsc, kSlipEnd});
  const auto status = DecodeFrame(encoded.data(), encoded.size());
  EXPECT_EQ(status.error_flag, 0);
  EXPECT_EQ(status.device_id, kSlipEnd);
}

TEST(CompactStatusDecode, ShortLongOrUnendedBodyGivesMalformedFrameAndZeros) {
  const Bytes frames[] = {Join({0x01, 0x02, kSlipEnd}, Repeat(16)), Join(Repeat(19), {kSlipEnd}), Repeat(19),
                          Join(Repeat(18), {kSlipEsc})};
  for (const Bytes& frame : frames) {
    const auto status = DecodeFrame(frame.data(), frame.size());
    EXPECT_EQ(status.error_flag, kErrorFlagMalformedFrame);
    EXPECT_EQ(status.device_id, 0);
    EXPECT_EQ(status.buttons, 0);
    EXPECT_EQ(status.battery_level, 0.0f);
    EXPECT_EQ(status.quaternion[0], 0.0f);
  }
}

}  // namespace
