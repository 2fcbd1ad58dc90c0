#include <gtest/gtest.h>

#include "Slip.h"

using Tavix::Simulator::Bytes;
using Tavix::Simulator::SlipStuff;

namespace {

TEST(SlipStuffing, PlainBodyIsClosedByEnd) {
  EXPECT_EQ(SlipStuff({0x01, 0x02, 0xDA}), (Bytes{0x01, 0x02, 0xDA, 0xC0}));
  EXPECT_EQ(SlipStuff({}), (Bytes{0xC0}));
}

TEST(SlipStuffing, EndAndEscAreEscapedInPlace) {
  EXPECT_EQ(SlipStuff({0xC0, 0x05, 0xDB, 0xDC, 0xDD}), (Bytes{0xDB, 0xDC, 0x05, 0xDB, 0xDD, 0xDC, 0xDD, 0xC0}));
}

TEST(SlipStuffing, StuffedFrameHoldsNoEndBeforeItsLastByte) {
  Bytes every_byte;
  for (int b = 0; b < 256; ++b) every_byte.push_back(static_cast<uint8_t>(b));
  const Bytes frame = SlipStuff(every_byte);
  EXPECT_EQ(frame.size(), 256u + 2u + 1u);
  EXPECT_EQ(std::count(frame.begin(), frame.end(), 0xC0), 1);
  EXPECT_EQ(frame.back(), 0xC0);
}

}  // namespace
