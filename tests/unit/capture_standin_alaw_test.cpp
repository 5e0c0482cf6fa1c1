// The A-law the end-to-end suite's capture stand-in hands the client: checked against the decoding rule
// itself, over every 16-bit sample.
#include <gtest/gtest.h>

#include <cstdlib>

#include "alaw_encoder.h"

namespace {

using capture_standin::AlawFromLinear;

// Decoding as the line code defines it: even bits inverted, sign bit set for positive values, then a
// segment (exponent) and a four-bit step within it, at the middle of the interval.
int Decode(uint8_t code) {
  code ^= 0x55;
  int exponent = (code >> 4) & 7;
  int mantissa = code & 0x0F;
  int magnitude = exponent == 0 ? (mantissa << 4) + 8 : ((mantissa << 4) + 0x108) << (exponent - 1);
  return (code & 0x80) ? magnitude : -magnitude;
}

int StepOf(uint8_t code) {
  int exponent = ((code ^ 0x55) >> 4) & 7;
  return exponent == 0 ? 16 : 16 << (exponent - 1);
}

TEST(CaptureStandInAlaw, SilenceAndFullScaleHaveTheirWellKnownCodes) {
  EXPECT_EQ(AlawFromLinear(0), 0xD5);
  EXPECT_EQ(AlawFromLinear(-1), 0x55);
  EXPECT_EQ(AlawFromLinear(32767), 0xAA);
  EXPECT_EQ(AlawFromLinear(-32768), 0x2A);
}

TEST(CaptureStandInAlaw, EverySampleDecodesWithinOneStepAndInOrder) {
  int previous = Decode(AlawFromLinear(-32768));
  for (int sample = -32768; sample <= 32767; ++sample) {
    uint8_t code = AlawFromLinear(static_cast<int16_t>(sample));
    int decoded = Decode(code);
    ASSERT_LE(std::abs(decoded - sample), StepOf(code)) << "sample " << sample << " code " << int(code);
    ASSERT_GE(decoded, previous) << "louder samples never decode quieter (sample " << sample << ")";
    ASSERT_EQ(decoded > 0, sample >= 0) << "sign of sample " << sample;
    previous = decoded;
  }
}

}  // namespace
