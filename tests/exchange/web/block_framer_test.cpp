#include "exchange/web/block_framer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace exchange {
namespace {

struct Framed {
  std::vector<long long> sequences;
  std::string samples;
  BlockFramer framer{[this](long long sequence, const uint8_t* block) {
    sequences.push_back(sequence);
    samples.append(reinterpret_cast<const char*>(block), kVoiceSamples);
  }};
  void Push(uint32_t timestamp, size_t size, char fill) {
    std::string packet(size, fill);
    framer.Push(timestamp, reinterpret_cast<const uint8_t*>(packet.data()), packet.size());
  }
};

TEST(BlockFramer, CutsTwentyMillisecondPacketsIntoNumberedBlocksUnchanged) {
  Framed f;
  for (uint32_t i = 0; i < 8; ++i)
    f.Push(1000 + 160 * i, 160, static_cast<char>('a' + i));  // 8 x 160 = 10 blocks
  ASSERT_EQ(f.sequences, (std::vector<long long>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  std::string expected;
  for (int i = 0; i < 8; ++i)
    expected += std::string(160, static_cast<char>('a' + i));
  EXPECT_EQ(f.samples, expected);
}

TEST(BlockFramer, FillsShortGapsWithSilenceDropsLatePacketsAndRestartsAfterLongJumps) {
  Framed f;
  f.Push(0, 128, 'a');
  f.Push(256, 128, 'b');     // one block lost: silence in its place
  f.Push(128, 128, 'x');     // late: dropped
  f.Push(384, 128, 'b');     // the next one
  f.Push(384, 128, 'y');     // twice: dropped
  f.Push(900000, 128, 'c');  // far ahead: no second of silence, just on
  EXPECT_EQ(f.samples, std::string(128, 'a') + std::string(128, '\xD5') + std::string(128, 'b') +
                           std::string(128, 'b') + std::string(128, 'c'));
  EXPECT_EQ(f.framer.dropped_packets(), 2u);
  EXPECT_EQ(f.framer.filled_samples(), 128u);
  f.Push(0xFFFFFF80u, 128, 'w');  // a timestamp that wrapped backwards by far is older: dropped
  EXPECT_EQ(f.framer.dropped_packets(), 3u);
}

}  // namespace
}  // namespace exchange
