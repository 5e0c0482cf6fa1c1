#include "exchange/media/alaw.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace exchange {
namespace {

TEST(Alaw, EveryCodeSurvivesDecodeAndEncode) {
  for (int code = 0; code < 256; ++code) {
    EXPECT_EQ(LinearToAlaw(AlawToLinear(static_cast<uint8_t>(code))), code) << "code " << code;
  }
}

TEST(Alaw, KnownPointsOfTheScale) {
  EXPECT_EQ(AlawToLinear(0xD5), 8);
  EXPECT_EQ(AlawToLinear(0x55), -8);
  EXPECT_EQ(AlawToLinear(0xAA), 32256);
  EXPECT_EQ(AlawToLinear(0x2A), -32256);
  EXPECT_EQ(LinearToAlaw(0), 0xD5);
  EXPECT_EQ(LinearToAlaw(32767), 0xAA);
  EXPECT_EQ(LinearToAlaw(-32768), 0x2A);
}

TEST(Alaw, EncodingPicksTheNearestStepAndKeepsTheSign) {
  for (int value = -32768; value <= 32767; value += 37) {
    const int decoded = AlawToLinear(LinearToAlaw(static_cast<int16_t>(value)));
    EXPECT_EQ(decoded > 0, value >= 0) << value;
    // The widest step of the scale is 1024 wide, so nothing lands further than half of it away.
    EXPECT_LE(std::abs(decoded - value), 528) << value;
  }
}

TEST(Alaw, QuietMeansEverySampleInTheLowestSegment) {
  const uint8_t silence[4] = {0xD5, 0x55, 0xDA, 0x5F};
  EXPECT_TRUE(AlawQuiet(silence, 4));
  const uint8_t one_loud[4] = {0xD5, 0x55, 0xC5, 0x5F};  // 0xC5 is the second segment
  EXPECT_FALSE(AlawQuiet(one_loud, 4));
  EXPECT_TRUE(AlawQuiet(one_loud, 2));
}

}  // namespace
}  // namespace exchange
