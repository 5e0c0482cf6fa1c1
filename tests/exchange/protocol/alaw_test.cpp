#include "exchange/protocol/alaw.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace exchange {
namespace {

TEST(Alaw, EncodesKnownValues) {
  EXPECT_EQ(AlawEncode(0), 0xD5);
  EXPECT_EQ(AlawEncode(-1), 0x55);
  EXPECT_EQ(AlawEncode(32767), 0xAA);
  EXPECT_EQ(AlawEncode(-32768), 0x2A);
  EXPECT_EQ(AlawEncode(1000), 0xFA);  // 13-bit 125: segment 2, mantissa 15
  EXPECT_EQ(AlawEncode(-1000), 0x7A);
}

TEST(Alaw, DecodesKnownValues) {
  EXPECT_EQ(AlawDecode(0xD5), 8);
  EXPECT_EQ(AlawDecode(0x55), -8);
  EXPECT_EQ(AlawDecode(0xAA), 32256);
  EXPECT_EQ(AlawDecode(0x2A), -32256);
}

TEST(Alaw, EveryCodeSurvivesDecodeThenEncode) {
  for (int code = 0; code < 256; ++code) {
    EXPECT_EQ(AlawEncode(AlawDecode(static_cast<std::uint8_t>(code))), code) << "code " << code;
  }
}

TEST(Alaw, RoundTripErrorIsWithinTheQuantisationStep) {
  int previous = -40000;
  for (int x = -32768; x <= 32767; ++x) {
    int y = AlawDecode(AlawEncode(static_cast<std::int16_t>(x)));
    ASSERT_LE(std::abs(y - x), std::max(8, std::abs(x) / 32)) << "x=" << x;
    ASSERT_GE(y, previous) << "not monotonic at x=" << x;
    previous = y;
  }
}

TEST(Alaw, QuietMeansEveryCodeInTheLowestSegment) {
  const std::uint8_t silence[4] = {0xD5, 0x55, 0xDA, 0x5F};
  EXPECT_TRUE(AlawQuiet(silence, 4));
  const std::uint8_t one_loud[4] = {0xD5, 0x55, 0xC5, 0x5F};  // 0xC5 is the second segment
  EXPECT_FALSE(AlawQuiet(one_loud, 4));
  EXPECT_TRUE(AlawQuiet(one_loud, 2));
}

std::vector<int> Decode(const std::string& block) {
  std::vector<int> out;
  for (char c : block)
    out.push_back(AlawDecode(static_cast<std::uint8_t>(c)));
  return out;
}

TEST(ToneGenerator, ProducesA1kHzSineAtMinus6dBFS) {
  ToneGenerator tone(1000.0);
  std::vector<int> x = Decode(tone.Next(128));
  ASSERT_EQ(x.size(), 128u);
  int peak = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    peak = std::max(peak, std::abs(x[i]));
    if (i + 8 < x.size()) {
      EXPECT_NEAR(x[i + 8], x[i], 1100) << i;  // period of 8 samples at 8 kHz
    }
    if (i + 4 < x.size()) {
      EXPECT_NEAR(x[i + 4], -x[i], 1100) << i;  // half period is inverted (one A-law step near 16384 is 1024)
    }
  }
  EXPECT_GT(peak, 14500);  // 0.5 of full scale is 16384
  EXPECT_LT(peak, 17500);
}

TEST(ToneGenerator, PhaseContinuesAcrossBlocks) {
  ToneGenerator split(440.0);
  ToneGenerator whole(440.0);
  std::string a = split.Next(50);
  std::string b = split.Next(78);
  EXPECT_EQ(a + b, whole.Next(128));
}

}  // namespace
}  // namespace exchange
