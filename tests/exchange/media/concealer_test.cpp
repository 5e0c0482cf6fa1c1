#include "exchange/media/concealer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "exchange/protocol/alaw.h"

namespace exchange {
namespace {

std::vector<uint8_t> Ramp() {
  std::vector<uint8_t> block(kClientBlockSamples);
  for (size_t i = 0; i < block.size(); ++i)
    block[i] = AlawEncode(static_cast<int16_t>(8000 + 100 * i));
  return block;
}

TEST(Concealer, RepeatsTheLastBlockThenFadesToSilence) {
  Concealer concealer;
  const std::vector<uint8_t> played = Ramp();
  concealer.Played(played.data(), played.size());

  std::vector<uint8_t> made(6 * kClientBlockSamples);
  concealer.Conceal(made.data(), made.size());
  EXPECT_EQ(made[0], played[0]) << "the repeat starts at full strength where the played block began";
  for (size_t i = 1; i < 300; ++i) {
    // Each sample is the played one a block earlier, never louder and fading steadily.
    EXPECT_LE(std::abs(AlawDecode(made[i])), std::abs(AlawDecode(played[i % kClientBlockSamples]))) << i;
  }
  EXPECT_LT(std::abs(AlawDecode(made[2 * kClientBlockSamples])), std::abs(AlawDecode(played[0])) / 2);
  for (size_t i = 40 * kSamplesPerMs; i < made.size(); ++i)
    ASSERT_EQ(made[i], kAlawSilence) << i;
}

TEST(Concealer, ContinuesAcrossCallsAndRestartsAfterRealAudio) {
  Concealer split;
  Concealer whole;
  const std::vector<uint8_t> played = Ramp();
  split.Played(played.data(), played.size());
  whole.Played(played.data(), played.size());
  std::vector<uint8_t> a(200), b(200);
  split.Conceal(a.data(), 70);
  split.Conceal(a.data() + 70, 130);
  whole.Conceal(b.data(), 200);
  EXPECT_EQ(a, b);

  // Real audio in between: the next gap repeats that audio at full strength again.
  const uint8_t fresh[2] = {0xAA, 0x2A};
  split.Played(fresh, 2);
  uint8_t next[2];
  split.Conceal(next, 2);
  EXPECT_EQ(played[2], next[0])
      << "repeat starts one block back: two fresh samples, then the rest of the ramp";
}

TEST(Concealer, WithNothingPlayedItIsSilence) {
  Concealer concealer;
  std::vector<uint8_t> made(50, 0);
  concealer.Conceal(made.data(), made.size());
  for (uint8_t sample : made)
    EXPECT_EQ(sample, kAlawSilence);
  const std::vector<uint8_t> played = Ramp();
  concealer.Played(played.data(), played.size());
  concealer.Reset();
  concealer.Conceal(made.data(), made.size());
  for (uint8_t sample : made)
    EXPECT_EQ(sample, kAlawSilence);
}

}  // namespace
}  // namespace exchange
