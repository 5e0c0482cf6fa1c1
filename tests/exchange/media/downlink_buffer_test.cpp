#include "exchange/media/downlink_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "media_test_streams.h"

namespace exchange {
namespace {

using testing::FirstDifference;
using testing::kSame;
using testing::LoudStream;
using testing::TalkStream;

struct Packet {
  uint64_t at_ms;
  uint16_t sequence;
  uint32_t timestamp;
  const uint8_t* payload;
  size_t samples;
};

// `stream` cut into RTP packets of `samples`, numbered and stamped from the given values, one every
// `period_ms` (by default the packet's own duration) from `start_ms`.
std::vector<Packet> Packets(const std::vector<uint8_t>& stream, size_t samples, uint16_t first_sequence,
                            uint32_t first_timestamp, uint64_t start_ms, double period_ms = 0) {
  if (period_ms == 0) period_ms = static_cast<double>(samples) / kSamplesPerMs;
  std::vector<Packet> packets;
  for (size_t i = 0; i + samples <= stream.size(); i += samples) {
    const size_t k = i / samples;
    packets.push_back({start_ms + static_cast<uint64_t>(static_cast<double>(k) * period_ms),
                       static_cast<uint16_t>(first_sequence + k), static_cast<uint32_t>(first_timestamp + i),
                       stream.data() + i, samples});
  }
  return packets;
}

void SortByArrival(std::vector<Packet>* packets) {
  std::stable_sort(packets->begin(), packets->end(),
                   [](const Packet& a, const Packet& b) { return a.at_ms < b.at_ms; });
}

struct Output {
  std::vector<uint8_t> audio;  // every block Read gave, in order
  std::vector<bool> given;     // per Read: whether it gave a block
  std::vector<bool> covered;   // per given block: whether the concealed count went up with it
  uint64_t first_block_ms = 0;
  int max_backlog_ms = 0;
};

// Delivers the packets at their times and Reads every 16 ms from `first_read_ms` to `end_ms`; packets in the
// same millisecond as a Read come first.
Output Drive(DownlinkBuffer& buffer, const std::vector<Packet>& packets, uint64_t first_read_ms,
             uint64_t end_ms) {
  Output out;
  uint8_t block[kClientBlockSamples];
  size_t next = 0;
  for (uint64_t now = first_read_ms; now <= end_ms; now += 16) {
    while (next < packets.size() && packets[next].at_ms <= now) {
      const Packet& p = packets[next++];
      buffer.Put(p.sequence, p.timestamp, p.payload, p.samples, p.at_ms);
      out.max_backlog_ms = std::max(out.max_backlog_ms, buffer.stats().backlog_ms);
    }
    const uint64_t concealed = buffer.stats().concealed;
    const bool given = buffer.Read(block, now);
    out.given.push_back(given);
    if (!given) continue;
    if (out.audio.empty()) out.first_block_ms = now;
    out.audio.insert(out.audio.end(), block, block + kClientBlockSamples);
    out.covered.push_back(buffer.stats().concealed > concealed);
    out.max_backlog_ms = std::max(out.max_backlog_ms, buffer.stats().backlog_ms);
  }
  return out;
}

// Reads that gave nothing between the first and the last block given.
size_t GapsInTheMiddle(const Output& out) {
  const auto first = std::find(out.given.begin(), out.given.end(), true);
  const auto last = std::find(out.given.rbegin(), out.given.rend(), true).base();
  return first < last ? static_cast<size_t>(std::count(first, last, false)) : 0;
}

// Concealed blocks among the first `blocks` given.
size_t CoveredAmongFirst(const Output& out, size_t blocks) {
  return static_cast<size_t>(
      std::count(out.covered.begin(), out.covered.begin() + std::min(blocks, out.covered.size()), true));
}

// 4.8 s: a whole number of packets of every allowed size and of client blocks.
constexpr size_t kStreamSamples = 38400;

// --- Re-framing: RTP of any packet size to 16 ms blocks, byte for byte ---

TEST(DownlinkReframing, EveryPacketSizeComesOutAsTheSameBytesInBlocks) {
  const std::vector<uint8_t> stream = LoudStream(kStreamSamples, 21);
  for (size_t samples : {80u, 160u, 240u, 320u, 480u}) {
    for (uint64_t phase : {0u, 5u, 11u}) {
      SCOPED_TRACE(::testing::Message() << samples << " samples, read phase " << phase);
      DownlinkBuffer buffer;
      const Output out = Drive(buffer, Packets(stream, samples, 1, 0, 3), phase, 4800 + 400);
      EXPECT_EQ(FirstDifference(stream, out.audio), kSame);
      EXPECT_EQ(CoveredAmongFirst(out, kStreamSamples / kClientBlockSamples), 0u);
      EXPECT_EQ(GapsInTheMiddle(out), 0u);
      // It waits for about one packet beyond what the pacer needs before starting, no more.
      EXPECT_LE(out.first_block_ms, 3 + (2 * samples + kClientBlockSamples) / kSamplesPerMs + 16);
      EXPECT_EQ(buffer.stats().lost, 0u);
      EXPECT_EQ(buffer.stats().dropped_samples, 0u);
      EXPECT_EQ(buffer.stats().resyncs, 0u);
      EXPECT_LE(out.max_backlog_ms, static_cast<int>(3 * samples / kSamplesPerMs + 16));
    }
  }
}

TEST(DownlinkReframing, PacketsOutsideTenToSixtyMillisecondsAreRefused) {
  const std::vector<uint8_t> stream = LoudStream(4000, 22);
  DownlinkBuffer buffer;
  buffer.Put(1, 0, stream.data(), 79, 0);
  buffer.Put(2, 79, stream.data(), 481, 0);
  buffer.Put(3, 560, stream.data(), 0, 0);
  buffer.Put(4, 560, nullptr, 160, 0);
  EXPECT_EQ(buffer.stats().rejected, 4u);
  EXPECT_EQ(buffer.stats().received, 0u);
  uint8_t block[kClientBlockSamples];
  EXPECT_FALSE(buffer.Read(block, 16));

  // The edges themselves are fine.
  buffer.Put(5, 1000, stream.data(), 80, 20);
  buffer.Put(6, 1080, stream.data() + 80, 480, 30);
  buffer.Put(7, 1560, stream.data() + 560, 480, 30);
  buffer.Put(8, 2040, stream.data() + 1040, 480, 30);
  EXPECT_EQ(buffer.stats().received, 4u);
  ASSERT_TRUE(buffer.Read(block, 32));
  EXPECT_TRUE(std::equal(block, block + kClientBlockSamples, stream.begin()));
}

TEST(DownlinkReframing, NothingBeforeTheFirstPacket) {
  DownlinkBuffer buffer;
  uint8_t block[kClientBlockSamples];
  EXPECT_FALSE(buffer.Read(block, 0));
  EXPECT_FALSE(buffer.Read(block, 16));
  EXPECT_EQ(buffer.stats().blocks, 0u);
}

// --- The network's doing ---

TEST(DownlinkNetwork, DuplicatesAreDroppedAndCounted) {
  const std::vector<uint8_t> stream = LoudStream(kStreamSamples, 23);
  for (uint64_t second_copy_after : {0u, 7u, 30u}) {
    SCOPED_TRACE(second_copy_after);
    std::vector<Packet> packets = Packets(stream, 160, 100, 5000, 0);
    const size_t originals = packets.size();
    for (size_t i = 0; i < originals; ++i) {
      Packet copy = packets[i];
      copy.at_ms += second_copy_after;
      packets.push_back(copy);
    }
    SortByArrival(&packets);
    DownlinkBuffer buffer;
    const Output out = Drive(buffer, packets, 2, 5300);
    EXPECT_EQ(FirstDifference(stream, out.audio), kSame);
    EXPECT_EQ(buffer.stats().duplicates, originals);
    EXPECT_EQ(buffer.stats().lost, 0u);
    EXPECT_EQ(buffer.stats().late, 0u);
  }
}

TEST(DownlinkNetwork, ReorderedPacketsArePutBackInTimestampOrder) {
  const std::vector<uint8_t> stream = LoudStream(kStreamSamples, 24);
  for (size_t samples : {80u, 160u, 240u, 480u}) {
    SCOPED_TRACE(samples);
    std::vector<Packet> packets = Packets(stream, samples, 1, 0, 0);
    // Every other packet is overtaken by its successor: it comes just after it.
    for (size_t i = 0; i + 1 < packets.size(); i += 2) {
      packets[i].at_ms = packets[i + 1].at_ms;
      std::swap(packets[i], packets[i + 1]);
    }
    DownlinkBuffer buffer;
    const Output out = Drive(buffer, packets, 9, 5300);
    EXPECT_EQ(FirstDifference(stream, out.audio), kSame);
    EXPECT_EQ(CoveredAmongFirst(out, kStreamSamples / kClientBlockSamples), 0u);
    EXPECT_EQ(buffer.stats().lost, 0u);
  }
}

TEST(DownlinkNetwork, LostPacketsAreCoveredAndTheRestKeepsItsPlace) {
  const std::vector<uint8_t> stream = LoudStream(kStreamSamples, 25);
  std::vector<Packet> packets;
  size_t dropped = 0;
  for (const Packet& p : Packets(stream, 160, 1, 0, 0)) {
    if (p.sequence % 9 == 0) {
      ++dropped;
    } else {
      packets.push_back(p);
    }
  }
  DownlinkBuffer buffer;
  const Output out = Drive(buffer, packets, 4, 5300);
  // The rest keeps its place: a gap found while nothing after it has come yet is waited for (a block, and
  // the backlog keeps that block while gaps keep coming); every other gap is covered in place.
  size_t at = 0;
  for (size_t i = 0; i < stream.size(); i += 160) {
    if ((i / 160 + 1) % 9 == 0) continue;
    const auto found =
        std::search(out.audio.begin() + at, out.audio.end(), stream.begin() + i, stream.begin() + i + 16);
    ASSERT_NE(found, out.audio.end()) << "packet at " << i;
    at = static_cast<size_t>(found - out.audio.begin());
    ASSERT_LE(at, i + 2 * kClientBlockSamples) << "packet at " << i;
  }
  EXPECT_EQ(buffer.stats().lost, dropped);
  EXPECT_GE(CoveredAmongFirst(out, kStreamSamples / kClientBlockSamples), dropped);
  EXPECT_LE(CoveredAmongFirst(out, kStreamSamples / kClientBlockSamples), 2 * dropped + 2);
  EXPECT_EQ(GapsInTheMiddle(out), 0u);
}

TEST(DownlinkNetwork, APacketAfterItsTurnIsLateAndNotPlayed) {
  const std::vector<uint8_t> stream = LoudStream(kStreamSamples, 26);
  std::vector<Packet> packets = Packets(stream, 160, 1, 0, 0);
  packets[100].at_ms += 300;
  SortByArrival(&packets);
  DownlinkBuffer buffer;
  const Output out = Drive(buffer, packets, 0, 5300);
  EXPECT_EQ(buffer.stats().late, 1u);
  EXPECT_EQ(buffer.stats().lost, 1u);
  ASSERT_GE(out.audio.size(), stream.size());
  EXPECT_TRUE(std::equal(stream.begin(), stream.begin() + 16000, out.audio.begin()));
  // Its place was covered (or, with latency to spare, cut out); what follows is played unchanged.
  const auto after = std::search(out.audio.begin(), out.audio.end(), stream.begin() + 16160, stream.end());
  ASSERT_NE(after, out.audio.end());
  EXPECT_LE(after - out.audio.begin(), 16160);
  EXPECT_GE(after - out.audio.begin(), 16160 - 128);
  EXPECT_EQ(std::search(out.audio.begin(), out.audio.end(), stream.begin() + 16000, stream.begin() + 16160),
            out.audio.end());
}

TEST(DownlinkNetwork, SequenceAndTimestampWrapUnnoticed) {
  const std::vector<uint8_t> stream = LoudStream(kStreamSamples, 27);
  std::vector<Packet> packets = Packets(stream, 160, 65500, 0xFFFFF000u, 0);
  for (size_t i = 40; i + 1 < packets.size(); i += 7)
    std::swap(packets[i].at_ms, packets[i + 1].at_ms);
  SortByArrival(&packets);
  DownlinkBuffer buffer;
  const Output out = Drive(buffer, packets, 6, 5300);
  // A buffer kept short has an overtaken packet's first samples covered in place (it cannot tell the packet
  // from a lost one until it comes); every other packet keeps its place.
  for (size_t j = 0; j < stream.size() / 160; ++j) {
    if (j >= 40 && (j - 40) % 7 == 0) continue;
    const std::vector<uint8_t> packet(stream.begin() + j * 160, stream.begin() + (j + 1) * 160);
    ASSERT_EQ(FirstDifference(packet, out.audio, j * 160), kSame) << "packet " << j;
  }
  EXPECT_EQ(buffer.stats().resyncs, 0u);
  EXPECT_EQ(buffer.stats().lost, 0u);
  EXPECT_EQ(buffer.stats().late, 0u);
  EXPECT_EQ(buffer.stats().duplicates, 0u);
}

// --- New talk spurts and sources ---

TEST(DownlinkSpurts, ATimestampJumpIsFollowedWithoutAHole) {
  const std::vector<uint8_t> stream = LoudStream(kStreamSamples, 28);
  std::vector<Packet> packets = Packets(stream, 160, 1, 0, 0);
  for (size_t i = 100; i < packets.size(); ++i)
    packets[i].timestamp += 100000;  // same sequence run
  DownlinkBuffer buffer;
  const Output out = Drive(buffer, packets, 1, 5300);
  EXPECT_EQ(buffer.stats().resyncs, 1u);
  EXPECT_EQ(FirstDifference(stream, out.audio), kSame);
  EXPECT_EQ(buffer.stats().lost, 0u);
}

TEST(DownlinkSpurts, ANewSourceIsFollowedWithoutCountingLoss) {
  const std::vector<uint8_t> stream = LoudStream(kStreamSamples, 29);
  std::vector<Packet> packets = Packets(stream, 160, 40000, 0x80000000u, 0);
  const std::vector<Packet> second = Packets(stream, 160, 7, 0x00001234u, 0);
  for (size_t i = 150; i < packets.size(); ++i) {
    packets[i].sequence = second[i].sequence;  // sequence and timestamp both start afresh
    packets[i].timestamp = second[i].timestamp;
  }
  DownlinkBuffer buffer;
  const Output out = Drive(buffer, packets, 1, 5300);
  EXPECT_EQ(buffer.stats().resyncs, 1u);
  EXPECT_EQ(FirstDifference(stream, out.audio), kSame);
  EXPECT_EQ(buffer.stats().lost, 0u);
  EXPECT_EQ(buffer.stats().late, 0u);
}

TEST(DownlinkSpurts, SilenceStopsTheBlocksAndTheNextSpurtStartsCleanly) {
  const std::vector<uint8_t> first = LoudStream(kStreamSamples / 2, 30);
  const std::vector<uint8_t> second = LoudStream(kStreamSamples / 2, 31);
  std::vector<Packet> packets = Packets(first, 160, 1, 0, 0);
  // Two seconds later the next spurt: the sequence carries on, the timestamp counts the silence too.
  for (const Packet& p : Packets(second, 160, 121, 19200 + 16000, 2400 + 2000))
    packets.push_back(p);
  DownlinkBuffer buffer;
  const Output out = Drive(buffer, packets, 1, 7000);

  const auto first_gap =
      std::find(std::find(out.given.begin(), out.given.end(), true), out.given.end(), false);
  ASSERT_NE(first_gap, out.given.end());
  const size_t before_gap = static_cast<size_t>(std::count(out.given.begin(), first_gap, true));
  EXPECT_LE(before_gap * kClientBlockSamples, first.size() + 6 * kClientBlockSamples)
      << "the end of a spurt is covered only briefly";
  EXPECT_GT(GapsInTheMiddle(out), 100u);
  EXPECT_EQ(FirstDifference(first, out.audio), kSame);
  EXPECT_EQ(FirstDifference(second, out.audio, before_gap * kClientBlockSamples), kSame);
  EXPECT_EQ(buffer.stats().resyncs, 1u);
  EXPECT_EQ(buffer.stats().lost, 0u);
}

// --- The PBX's clock against the pacer's ---

struct DriftCase {
  double period_ms;  // 20 is the PBX keeping perfect time
  bool pauses;
};

class DownlinkDrift : public ::testing::TestWithParam<DriftCase> {};

TEST_P(DownlinkDrift, TheBacklogStaysBoundedOverTenMinutes) {
  const DriftCase c = GetParam();
  const size_t samples = 160 * 30000;  // ten minutes
  const std::vector<uint8_t> stream =
      c.pauses ? TalkStream(samples, 12000, 4000, 32) : LoudStream(samples, 32);
  const std::vector<Packet> packets = Packets(stream, 160, 1, 0, 0, c.period_ms);
  DownlinkBuffer buffer;
  const uint64_t end = packets.back().at_ms;
  const Output out = Drive(buffer, packets, 3, end);

  EXPECT_LE(out.max_backlog_ms, 122) << "never more than about 120 ms queued";
  EXPECT_EQ(GapsInTheMiddle(out), 0u) << "the client is fed without a break";
  const double drift_samples = static_cast<double>(end) * kSamplesPerMs * (20.0 / c.period_ms - 1.0);
  if (drift_samples > 0) {
    // The surplus of a fast PBX is dropped; with pauses to drop it in, early and in small steps.
    EXPECT_GE(static_cast<double>(buffer.stats().dropped_samples), drift_samples - 2000);
    EXPECT_LE(static_cast<double>(buffer.stats().dropped_samples), drift_samples + 1000);
    if (c.pauses) {
      EXPECT_LE(buffer.stats().backlog_ms, 60);
    }
  } else {
    // A slow one runs short now and then: a block is made up, none is dropped.
    EXPECT_EQ(buffer.stats().dropped_samples, 0u);
    // (The start-up backlog absorbs the first few hundred samples of shortfall.)
    EXPECT_GE(static_cast<double>(buffer.stats().concealed * kClientBlockSamples), -drift_samples - 500);
    EXPECT_LE(static_cast<double>(buffer.stats().concealed * kClientBlockSamples), -drift_samples + 2000);
  }
}

INSTANTIATE_TEST_SUITE_P(FastAndSlowPbx, DownlinkDrift,
                         ::testing::Values(DriftCase{19.9, true}, DriftCase{20.1, true},
                                           DriftCase{19.9, false}, DriftCase{20.1, false},
                                           DriftCase{19.98, true}));

TEST(DownlinkBacklog, ABurstAfterAStallKeepsOnlyTheNewest120Ms) {
  const std::vector<uint8_t> stream = LoudStream(kStreamSamples, 33);
  std::vector<Packet> packets = Packets(stream, 160, 1, 0, 0);
  for (size_t i = 50; i < 80; ++i)
    packets[i].at_ms = packets[79].at_ms;  // 600 ms held up, then all at once
  DownlinkBuffer buffer;
  const Output out = Drive(buffer, packets, 5, 5300);
  EXPECT_LE(out.max_backlog_ms, 122);
  EXPECT_GT(buffer.stats().dropped_samples, 3000u);
  // What follows the burst is played unchanged and on time.
  const std::vector<uint8_t> after(stream.begin() + 90 * 160, stream.end());
  EXPECT_NE(std::search(out.audio.begin(), out.audio.end(), after.begin(), after.end()), out.audio.end());
}

TEST(DownlinkBacklog, RandomAbuseKeepsEveryBound) {
  testing::Random random(37);
  const std::vector<uint8_t> stream = LoudStream(4096, 37);
  DownlinkBuffer buffer;
  uint8_t block[kClientBlockSamples];
  uint16_t sequence = 0;
  uint32_t timestamp = 0;
  uint64_t given = 0;
  for (uint64_t now = 0; now < 200000; now += 4) {
    if (random.Upto(4) == 0) {
      // Mostly a plausible stream of varying packet sizes with reordering, repeats and gaps; now and then a
      // packet of a wrong size, a wild timestamp or a new source.
      const uint32_t pick = random.Upto(199);
      const size_t samples = pick == 0 ? random.Upto(1000) : 80 * (1 + random.Upto(5));
      if (pick == 1) timestamp = random.Next();
      if (pick == 2) sequence = static_cast<uint16_t>(random.Next());
      const int back = static_cast<int>(random.Upto(3));
      buffer.Put(static_cast<uint16_t>(sequence - back), timestamp - static_cast<uint32_t>(back * samples),
                 stream.data() + random.Upto(3000), samples, now);
      sequence = static_cast<uint16_t>(sequence + 1);
      timestamp += static_cast<uint32_t>(samples);
    }
    if (now % 16 == 0 && buffer.Read(block, now)) ++given;
    // The bound grows only for 60 ms packets: start level plus two packets.
    ASSERT_LE(buffer.stats().backlog_ms, (2 * 480 + 128 + 2 * 480) / kSamplesPerMs) << now;
  }
  EXPECT_GT(given, 5000u);
  EXPECT_GT(buffer.stats().rejected, 0u);
  EXPECT_GT(buffer.stats().resyncs, 0u);
}

}  // namespace
}  // namespace exchange
