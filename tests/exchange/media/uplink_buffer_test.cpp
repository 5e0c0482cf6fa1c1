#include "exchange/media/uplink_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <vector>

#include "exchange/protocol/alaw.h"
#include "media_test_streams.h"

namespace exchange {
namespace {

using Frame = UplinkBuffer::Frame;
using testing::FirstDifference;
using testing::kSame;
using testing::LoudStream;
using testing::Random;
using testing::TalkStream;

constexpr int64_t kBlock = static_cast<int64_t>(kClientBlockSamples);

struct Arrival {
  uint64_t at_ms;
  int64_t sequence;
  const uint8_t* block;
};

// The client's blocks of `stream`, numbered from `first`, one every `period_ms` from `start_ms`.
std::vector<Arrival> Blocks(const std::vector<uint8_t>& stream, int64_t first, uint64_t start_ms,
                            double period_ms = 16.0) {
  std::vector<Arrival> arrivals;
  for (size_t i = 0; i + kClientBlockSamples <= stream.size(); i += kClientBlockSamples) {
    const size_t k = i / kClientBlockSamples;
    arrivals.push_back({start_ms + static_cast<uint64_t>(static_cast<double>(k) * period_ms),
                        first + static_cast<int64_t>(k), stream.data() + i});
  }
  return arrivals;
}

void SortByArrival(std::vector<Arrival>* arrivals) {
  std::stable_sort(arrivals->begin(), arrivals->end(),
                   [](const Arrival& a, const Arrival& b) { return a.at_ms < b.at_ms; });
}

struct Output {
  std::vector<uint8_t> audio;   // every frame that was not kNone, in order
  std::vector<uint8_t> real;    // only the kAudio frames: what remains when pure waiting is taken out
  std::vector<Frame> kinds;     // one per Get
  std::vector<size_t> markers;  // indexes into kinds
  int max_hold_ms = INT_MIN;    // over frames after `settle_ms`
  int min_hold_ms = INT_MAX;
  uint64_t gets = 0;
};

// Delivers the arrivals at their times and calls Get every frame period from `first_get_ms` up to `end_ms`;
// arrivals in the same millisecond as a Get come first.
Output Drive(UplinkBuffer& buffer, const std::vector<Arrival>& arrivals, uint64_t first_get_ms,
             uint64_t end_ms, uint64_t settle_ms = 0) {
  Output out;
  const uint64_t period = buffer.frame_samples() / kSamplesPerMs;
  std::vector<uint8_t> frame(buffer.frame_samples());
  size_t next = 0;
  for (uint64_t now = first_get_ms; now <= end_ms; now += period) {
    while (next < arrivals.size() && arrivals[next].at_ms <= now) {
      buffer.Put(arrivals[next].sequence, arrivals[next].block, arrivals[next].at_ms);
      ++next;
    }
    bool marker = true;
    const Frame kind = buffer.Get(frame.data(), &marker, now);
    ++out.gets;
    if (marker) out.markers.push_back(out.kinds.size());
    out.kinds.push_back(kind);
    if (kind == Frame::kNone) {
      EXPECT_FALSE(marker);
      continue;
    }
    out.audio.insert(out.audio.end(), frame.begin(), frame.end());
    if (kind == Frame::kAudio) out.real.insert(out.real.end(), frame.begin(), frame.end());
    if (now >= settle_ms) {
      out.max_hold_ms = std::max(out.max_hold_ms, buffer.stats().hold_ms);
      out.min_hold_ms = std::min(out.min_hold_ms, buffer.stats().hold_ms);
    }
  }
  return out;
}

size_t CountKind(const Output& out, Frame kind) {
  return std::count(out.kinds.begin(), out.kinds.end(), kind);
}

// Frames with made-up samples before the whole stream had come out: waiting and loss, not its end.
size_t CoveredWhileStreaming(const Output& out, size_t stream_samples, size_t frame = 160) {
  size_t real = 0, covered = 0;
  for (size_t i = 0; i < out.kinds.size() && real < stream_samples; ++i) {
    if (out.kinds[i] == Frame::kAudio) real += frame;
    if (out.kinds[i] == Frame::kConcealed) ++covered;
  }
  return covered;
}

size_t LeadingNones(const Output& out) {
  return static_cast<size_t>(
      std::find_if(out.kinds.begin(), out.kinds.end(), [](Frame f) { return f != Frame::kNone; }) -
      out.kinds.begin());
}

// Frames between the first frame and the first kNone after it: the span during which audio flowed.
std::vector<Frame> FlowingSpan(const Output& out) {
  auto begin = std::find_if(out.kinds.begin(), out.kinds.end(), [](Frame f) { return f != Frame::kNone; });
  auto end = std::find(begin, out.kinds.end(), Frame::kNone);
  return std::vector<Frame>(begin, end);
}

// --- Re-framing: nothing lost means the client's bytes, in order, nothing added ---

TEST(UplinkReframing, ClientBytesComeOutUnchangedWhateverTheTickPhase) {
  const std::vector<uint8_t> stream = LoudStream(300 * kClientBlockSamples, 1);
  for (uint64_t phase = 0; phase < 20; phase += 3) {
    SCOPED_TRACE(phase);
    UplinkBuffer buffer;
    const Output out = Drive(buffer, Blocks(stream, 1, 5), phase, 5 + 300 * 16 + 200);

    ASSERT_FALSE(out.markers.empty());
    EXPECT_EQ(out.markers.size(), 1u);
    EXPECT_NE(out.kinds[out.markers[0]], Frame::kNone);
    // All that was sent comes out while the stream runs; only the frames after its end are made up.
    const std::vector<Frame> span = FlowingSpan(out);
    const size_t full = stream.size() / 160;
    ASSERT_GE(span.size(), full);
    for (size_t i = 0; i < full; ++i)
      ASSERT_EQ(span[i], Frame::kAudio) << i;
    ASSERT_GE(out.audio.size(), stream.size());
    EXPECT_EQ(FirstDifference(stream, out.audio), kSame);
    EXPECT_EQ(buffer.stats().lost, 0u);
    EXPECT_EQ(buffer.stats().late, 0u);
    EXPECT_EQ(buffer.stats().dropped_samples, 0u);
    EXPECT_EQ(buffer.stats().received, 300u);
    EXPECT_EQ(CountKind(out, Frame::kNone), out.gets - span.size()) << "no gap in the middle";
  }
}

TEST(UplinkReframing, OtherFrameSizesAreCutFromTheSameBytes) {
  const std::vector<uint8_t> stream = LoudStream(250 * kClientBlockSamples, 2);
  for (size_t frame : {80u, 240u, 480u}) {
    SCOPED_TRACE(frame);
    UplinkBuffer buffer(frame);
    ASSERT_EQ(buffer.frame_samples(), frame);
    const Output out = Drive(buffer, Blocks(stream, 1, 3), 0, 3 + 250 * 16 + 300);
    // Whole frames of the stream come out unchanged (the last part-frame is completed with cover).
    const std::vector<uint8_t> whole(stream.begin(), stream.begin() + stream.size() / frame * frame);
    EXPECT_EQ(FirstDifference(whole, out.audio), kSame);
    EXPECT_EQ(out.audio.size() % frame, 0u);
    EXPECT_EQ(buffer.stats().lost, 0u);
  }
}

TEST(UplinkReframing, NothingToSendBeforeTheFirstBlock) {
  UplinkBuffer buffer;
  uint8_t frame[160];
  bool marker = true;
  EXPECT_EQ(buffer.Get(frame, &marker, 0), Frame::kNone);
  EXPECT_FALSE(marker);
  EXPECT_EQ(buffer.Get(frame, &marker, 1000), Frame::kNone);
  EXPECT_EQ(buffer.stats().frames, 0u);
}

// --- The network's doing: duplicates, reordering, loss, lateness ---

TEST(UplinkNetwork, DuplicatedDatagramsAreDroppedAndCounted) {
  const std::vector<uint8_t> stream = LoudStream(200 * kClientBlockSamples, 3);
  for (uint64_t second_copy_after : {0u, 2u, 40u}) {
    SCOPED_TRACE(second_copy_after);
    std::vector<Arrival> arrivals = Blocks(stream, 1, 0);
    const size_t originals = arrivals.size();
    for (size_t i = 0; i < originals; ++i) {
      Arrival copy = arrivals[i];
      copy.at_ms += second_copy_after;
      arrivals.push_back(copy);
    }
    SortByArrival(&arrivals);
    UplinkBuffer buffer;
    const Output out = Drive(buffer, arrivals, 10, 200 * 16 + 300);
    // A second copy that comes late may make the buffer wait, but must never be played.
    ASSERT_GE(out.real.size(), stream.size());
    EXPECT_EQ(FirstDifference(stream, out.real), kSame);
    EXPECT_EQ(buffer.stats().lost, 0u);
    EXPECT_EQ(buffer.stats().duplicates, originals);
    EXPECT_EQ(buffer.stats().received, 2 * originals);
    EXPECT_EQ(buffer.stats().late, 0u);
  }
}

TEST(UplinkNetwork, SwappedBlocksArePutBackInOrder) {
  const std::vector<uint8_t> stream = LoudStream(200 * kClientBlockSamples, 4);
  std::vector<Arrival> arrivals = Blocks(stream, 1, 0);
  for (size_t i = 0; i + 1 < arrivals.size(); i += 2) {
    std::swap(arrivals[i].sequence, arrivals[i + 1].sequence);
    std::swap(arrivals[i].block, arrivals[i + 1].block);
  }
  UplinkBuffer buffer;
  const Output out = Drive(buffer, arrivals, 7, 200 * 16 + 300);
  // The first swapped pair teaches the buffer to wait a block longer; it waits instead of skipping, so
  // taking out the frames it made up while waiting leaves the stream, complete and in order.
  ASSERT_GE(out.real.size(), stream.size());
  EXPECT_EQ(FirstDifference(stream, out.real), kSame);
  EXPECT_LE(CoveredWhileStreaming(out, stream.size()), 3u);
  EXPECT_GE(buffer.stats().target_hold_ms, 36);
  EXPECT_EQ(buffer.stats().lost, 0u);
  EXPECT_EQ(buffer.stats().late, 0u);
}

TEST(UplinkNetwork, LostBlocksAreCoveredAndEverythingElseStaysInPlace) {
  const std::vector<uint8_t> stream = LoudStream(400 * kClientBlockSamples, 5);
  std::vector<Arrival> arrivals;
  size_t dropped = 0;
  for (const Arrival& a : Blocks(stream, 1, 0)) {
    if (a.sequence % 13 == 0 || (a.sequence >= 200 && a.sequence < 204)) {
      ++dropped;  // one here and there, and a burst of four
    } else {
      arrivals.push_back(a);
    }
  }
  UplinkBuffer buffer;
  const Output out = Drive(buffer, arrivals, 0, 400 * 16 + 300);

  // The output keeps time: the samples after each gap sit where they would have been, or earlier by what
  // was skipped of a gap to bring the start-up's excess hold down.
  const size_t skipped = static_cast<size_t>(buffer.stats().dropped_samples);
  EXPECT_LE(skipped, 160u);
  size_t shift = 0;
  for (size_t i = 0; i < stream.size(); i += kClientBlockSamples) {
    const int64_t sequence = static_cast<int64_t>(i) / kBlock + 1;
    if (sequence % 13 == 0 || (sequence >= 200 && sequence < 204)) continue;
    const std::vector<uint8_t> block(stream.begin() + i, stream.begin() + i + kClientBlockSamples);
    while (shift <= skipped && FirstDifference(block, out.audio, i - shift) != kSame)
      ++shift;
    ASSERT_LE(shift, skipped) << "block " << sequence;
  }
  EXPECT_EQ(buffer.stats().lost, dropped);
  EXPECT_EQ(buffer.stats().late, 0u);
  EXPECT_GE(buffer.stats().concealed, 30u);
  EXPECT_LE(buffer.stats().concealed, 2 * dropped + 4);
  const std::vector<Frame> span = FlowingSpan(out);
  EXPECT_GE(span.size() * 160, stream.size()) << "a gap never stops the frames";
}

TEST(UplinkNetwork, ABlockAfterItsTurnIsLateAndNotPlayed) {
  const std::vector<uint8_t> stream = LoudStream(200 * kClientBlockSamples, 6);
  std::vector<Arrival> arrivals = Blocks(stream, 1, 0);
  arrivals[100].at_ms += 400;
  SortByArrival(&arrivals);
  UplinkBuffer buffer;
  const Output out = Drive(buffer, arrivals, 0, 200 * 16 + 300);
  EXPECT_EQ(buffer.stats().late, 1u);
  EXPECT_EQ(buffer.stats().lost, 1u);
  ASSERT_GE(out.audio.size(), stream.size());
  EXPECT_TRUE(std::equal(stream.begin(), stream.begin() + 100 * kBlock, out.audio.begin()));
  EXPECT_FALSE(std::equal(stream.begin() + 100 * kBlock, stream.begin() + 101 * kBlock,
                          out.audio.begin() + 100 * kBlock));
  EXPECT_TRUE(std::equal(stream.begin() + 101 * kBlock, stream.end(), out.audio.begin() + 101 * kBlock));
}

// --- Talk spurts, pauses and restarts of the client's numbering ---

TEST(UplinkSpurts, APauseStopsTheFramesAndTheNextAudioCarriesTheMarker) {
  const std::vector<uint8_t> first = LoudStream(100 * kClientBlockSamples, 7);
  const std::vector<uint8_t> second = LoudStream(100 * kClientBlockSamples, 8);
  std::vector<Arrival> arrivals = Blocks(first, 1, 0);
  for (const Arrival& a : Blocks(second, 101, 100 * 16 + 1000))
    arrivals.push_back(a);
  UplinkBuffer buffer;
  const Output out = Drive(buffer, arrivals, 0, 200 * 16 + 1400);

  ASSERT_EQ(out.markers.size(), 2u);
  EXPECT_GT(CountKind(out, Frame::kNone), 30u);
  // Both stretches are intact; between them only a short covered tail and nothing else.
  EXPECT_EQ(FirstDifference(first, out.audio), kSame);
  const size_t resumed = out.markers[1];
  const size_t frames_before = static_cast<size_t>(std::count_if(
      out.kinds.begin(), out.kinds.begin() + resumed, [](Frame f) { return f != Frame::kNone; }));
  EXPECT_LE(frames_before * 160, first.size() + 6 * 160)
      << "the pause is bridged by at most ~100 ms of cover";
  EXPECT_EQ(FirstDifference(second, out.audio, frames_before * 160), kSame);
  EXPECT_EQ(buffer.stats().resyncs, 0u);
  EXPECT_EQ(buffer.stats().lost, 0u);
}

TEST(UplinkSpurts, ARestartedClientIsFollowedAfterAPause) {
  const std::vector<uint8_t> first = LoudStream(300 * kClientBlockSamples, 9);
  const std::vector<uint8_t> second = LoudStream(100 * kClientBlockSamples, 10);
  std::vector<Arrival> arrivals = Blocks(first, 1, 0);
  for (const Arrival& a : Blocks(second, 1, 300 * 16 + 500))
    arrivals.push_back(a);
  UplinkBuffer buffer;
  const Output out = Drive(buffer, arrivals, 0, 400 * 16 + 900);

  EXPECT_EQ(buffer.stats().resyncs, 1u);
  ASSERT_EQ(out.markers.size(), 2u);
  const size_t frames_before = static_cast<size_t>(std::count_if(
      out.kinds.begin(), out.kinds.begin() + out.markers[1], [](Frame f) { return f != Frame::kNone; }));
  ASSERT_GE(out.audio.size(), frames_before * 160 + second.size());
  EXPECT_EQ(FirstDifference(second, out.audio, frames_before * 160), kSame);
  EXPECT_EQ(buffer.stats().late, 0u);
}

TEST(UplinkSpurts, ARestartWithoutPauseIsBelievedAfterAFewBlocks) {
  const std::vector<uint8_t> first = LoudStream(300 * kClientBlockSamples, 11);
  const std::vector<uint8_t> second = LoudStream(100 * kClientBlockSamples, 12);
  std::vector<Arrival> arrivals = Blocks(first, 1, 0);
  for (const Arrival& a : Blocks(second, 1, 300 * 16))
    arrivals.push_back(a);
  UplinkBuffer buffer;
  const Output out = Drive(buffer, arrivals, 0, 400 * 16 + 300);

  EXPECT_EQ(buffer.stats().resyncs, 1u);
  EXPECT_EQ(buffer.stats().late, 2u) << "the two blocks before the restart was sure";
  // From the third block on, the restarted stream is played unchanged.
  const std::vector<uint8_t> tail(second.begin() + 2 * kBlock, second.end());
  EXPECT_NE(std::search(out.audio.begin(), out.audio.end(), tail.begin(), tail.end()), out.audio.end());
}

TEST(UplinkSpurts, AStrayOldNumberDoesNotRestartAnything) {
  const std::vector<uint8_t> stream = LoudStream(300 * kClientBlockSamples, 13);
  std::vector<Arrival> arrivals = Blocks(stream, 1000, 0);
  Arrival stray = arrivals[3];
  stray.at_ms = arrivals[250].at_ms;
  arrivals.insert(arrivals.begin() + 251, stray);
  UplinkBuffer buffer;
  const Output out = Drive(buffer, arrivals, 0, 300 * 16 + 300);
  EXPECT_EQ(buffer.stats().resyncs, 0u);
  EXPECT_EQ(buffer.stats().late + buffer.stats().duplicates, 1u);
  ASSERT_GE(out.audio.size(), stream.size());
  EXPECT_EQ(FirstDifference(stream, out.audio), kSame);
}

TEST(UplinkSpurts, BlocksPiledUpBeforeTheFirstTickAreSkippedToTheDueOne) {
  const std::vector<uint8_t> stream = LoudStream(300 * kClientBlockSamples, 34);
  const std::vector<Arrival> arrivals = Blocks(stream, 1, 0);
  UplinkBuffer buffer;
  // The owner starts its timer two seconds late: 125 blocks are waiting.
  const Output out = Drive(buffer, arrivals, 2000, 300 * 16 + 300);
  ASSERT_FALSE(out.kinds.empty());
  EXPECT_EQ(out.markers.size(), 1u);
  EXPECT_LE(out.max_hold_ms, 40 + 20) << "the start-up target and a frame, not two seconds of stale audio";
  EXPECT_GE(buffer.stats().dropped_samples, 100u * kBlock);
  // What is played is the recent part of the stream, unchanged.
  const std::vector<uint8_t> tail(stream.end() - 150 * kBlock, stream.end() - 10 * kBlock);
  EXPECT_NE(std::search(out.real.begin(), out.real.end(), tail.begin(), tail.end()), out.real.end());
}

TEST(UplinkNetwork, WildNumbersNeitherCrashNorDisturbTheStream) {
  const std::vector<uint8_t> stream = LoudStream(200 * kClientBlockSamples, 35);
  std::vector<Arrival> arrivals = Blocks(stream, 1, 0);
  const uint8_t junk[kClientBlockSamples] = {};
  for (int64_t wild :
       {INT64_MAX, INT64_MIN, int64_t{-1}, int64_t{0}, int64_t{1} << 47, -(int64_t{1} << 50)}) {
    arrivals.push_back({arrivals[60].at_ms, wild, junk});
  }
  SortByArrival(&arrivals);
  UplinkBuffer buffer;
  const Output out = Drive(buffer, arrivals, 0, 200 * 16 + 300);
  EXPECT_EQ(buffer.stats().resyncs, 0u);
  EXPECT_EQ(FirstDifference(stream, out.real), kSame);
  buffer.Put(5, nullptr, 4000);
  uint8_t frame[160];
  EXPECT_NE(buffer.Get(frame, nullptr, 4000), Frame::kAudio) << "a null marker pointer is allowed";
}

TEST(UplinkNetwork, RandomAbuseKeepsEveryBound) {
  Random random(36);
  const std::vector<uint8_t> stream = LoudStream(64 * kClientBlockSamples, 36);
  UplinkBuffer buffer;
  uint8_t frame[160];
  int64_t base = 1;
  for (uint64_t now = 0; now < 200000; now += 4) {
    for (uint32_t n = random.Upto(2); n > 0; --n) {
      // Mostly a plausible stream with jitter, reordering and repeats; now and then a leap or a restart.
      const uint32_t pick = random.Upto(999);
      if (pick == 0) base = static_cast<int64_t>(random.Next());
      if (pick == 1) base = 1;
      const int64_t sequence = base + static_cast<int64_t>(now / 16) - static_cast<int64_t>(random.Upto(8));
      buffer.Put(sequence, stream.data() + (random.Upto(63) * kClientBlockSamples), now);
    }
    if (now % 20 == 0) {
      bool marker;
      buffer.Get(frame, &marker, now);
      ASSERT_LE(buffer.stats().hold_ms, 200 + 20 + 30 + 20) << now;
      ASSERT_LE(buffer.stats().target_hold_ms, 200);
      ASSERT_GE(buffer.stats().target_hold_ms, 20);
    }
  }
  EXPECT_GT(buffer.stats().frames, 5000u);
  EXPECT_GT(buffer.stats().resyncs, 0u);
}

// --- Adaptation: the hold follows the jitter, and the clocks may disagree ---

struct JitterRun {
  int target_ms;
  int max_hold_ms;
  double covered_share;  // frames with made-up samples after settling, over all frames after settling
};

JitterRun RunWithJitter(UplinkBuffer& buffer, const std::vector<uint8_t>& stream, uint32_t jitter_ms,
                        uint64_t seed, uint64_t settle_ms) {
  Random random(seed);
  std::vector<Arrival> arrivals = Blocks(stream, 1, 0);
  for (Arrival& a : arrivals)
    a.at_ms += random.Upto(jitter_ms);
  SortByArrival(&arrivals);
  const uint64_t end = arrivals.back().at_ms - 100;
  uint64_t concealed_before = 0, frames_before = 0;
  std::vector<uint8_t> frame(160);
  size_t next = 0;
  JitterRun result{0, 0, 0};
  for (uint64_t now = 0; now <= end; now += 20) {
    while (next < arrivals.size() && arrivals[next].at_ms <= now) {
      buffer.Put(arrivals[next].sequence, arrivals[next].block, arrivals[next].at_ms);
      ++next;
    }
    bool marker;
    buffer.Get(frame.data(), &marker, now);
    if (now < settle_ms) {
      concealed_before = buffer.stats().concealed;
      frames_before = buffer.stats().frames;
    } else {
      result.max_hold_ms = std::max(result.max_hold_ms, buffer.stats().hold_ms);
    }
  }
  result.target_ms = buffer.stats().target_hold_ms;
  result.covered_share = static_cast<double>(buffer.stats().concealed - concealed_before) /
                         static_cast<double>(buffer.stats().frames - frames_before);
  return result;
}

TEST(UplinkAdaptation, TheHoldFollowsTheJitter) {
  const std::vector<uint8_t> stream = TalkStream(2500 * kClientBlockSamples, 8000, 4000, 14);  // 40 s
  struct Case {
    uint32_t jitter_ms;
    int min_target_ms;
    int max_target_ms;
  };
  for (const Case& c : {Case{0, 20, 24}, Case{20, 34, 44}, Case{50, 62, 75}}) {
    SCOPED_TRACE(c.jitter_ms);
    UplinkBuffer buffer;
    const JitterRun run = RunWithJitter(buffer, stream, c.jitter_ms, 15, 15000);
    EXPECT_GE(run.target_ms, c.min_target_ms);
    EXPECT_LE(run.target_ms, c.max_target_ms);
    EXPECT_LE(run.max_hold_ms, run.target_ms + 45) << "the hold stays near its target";
    EXPECT_LT(run.covered_share, 0.02) << "and is long enough that few blocks miss their turn";
  }
}

TEST(UplinkAdaptation, TheHoldShrinksAgainWhenTheNetworkCalmsDown) {
  const std::vector<uint8_t> stream = TalkStream(2500 * kClientBlockSamples, 8000, 4000, 16);
  Random random(17);
  std::vector<Arrival> arrivals = Blocks(stream, 1, 0);
  for (size_t i = 0; i < 900; ++i)
    arrivals[i].at_ms += random.Upto(50);  // rough for ~15 s, calm after
  SortByArrival(&arrivals);
  UplinkBuffer buffer;
  int rough_target = 0;
  std::vector<uint8_t> frame(160);
  size_t next = 0;
  for (uint64_t now = 0; now <= 2500 * 16; now += 20) {
    while (next < arrivals.size() && arrivals[next].at_ms <= now) {
      buffer.Put(arrivals[next].sequence, arrivals[next].block, arrivals[next].at_ms);
      ++next;
    }
    bool marker;
    buffer.Get(frame.data(), &marker, now);
    if (now == 14000) rough_target = buffer.stats().target_hold_ms;
  }
  EXPECT_GE(rough_target, 60);
  EXPECT_LE(buffer.stats().target_hold_ms, 24);
  EXPECT_LE(buffer.stats().hold_ms, 24 + 20);
  EXPECT_GT(buffer.stats().dropped_samples, 0u) << "the hold came down by dropping quiet samples";
}

struct DriftCase {
  double period_ms;
  bool pauses;  // the stream has quiet stretches to adjust in
};

class UplinkDrift : public ::testing::TestWithParam<DriftCase> {};

TEST_P(UplinkDrift, TheHoldStaysBoundedOverTenMinutes) {
  const DriftCase c = GetParam();
  const size_t blocks = 37500;  // ten minutes of the client's blocks
  const std::vector<uint8_t> stream = c.pauses ? TalkStream(blocks * kClientBlockSamples, 12000, 4000, 18)
                                               : LoudStream(blocks * kClientBlockSamples, 18);
  std::vector<Arrival> arrivals = Blocks(stream, 1, 0, c.period_ms);
  UplinkBuffer buffer;
  const uint64_t end = arrivals.back().at_ms - 200;
  const Output out = Drive(buffer, arrivals, 0, end, 5000);

  EXPECT_LE(out.max_hold_ms, 20 + 20 + 60) << "never a runaway backlog";
  EXPECT_GE(out.min_hold_ms, 0);
  EXPECT_LE(buffer.stats().hold_ms, buffer.stats().target_hold_ms + (c.pauses ? 25 : 60));
  EXPECT_EQ(FlowingSpan(out).size(), out.gets - LeadingNones(out)) << "frames flow without a break";
  const double drift_samples = static_cast<double>(end) * kSamplesPerMs * (16.0 / c.period_ms - 1.0);
  if (drift_samples > 0) {
    // A fast client: its surplus is dropped, about as much as it sent too much.
    EXPECT_GE(static_cast<double>(buffer.stats().dropped_samples), 0.9 * drift_samples);
    EXPECT_LE(static_cast<double>(buffer.stats().dropped_samples), 1.1 * drift_samples + 800);
  } else {
    // A slow one: the shortfall is filled in, and nothing it sent is thrown away (but for the start's
    // excess hold, in a pause).
    EXPECT_GE(static_cast<double>(buffer.stats().inserted_samples + 160 * buffer.stats().concealed),
              -0.9 * drift_samples);
    EXPECT_LE(buffer.stats().dropped_samples, 160u);
    EXPECT_EQ(buffer.stats().lost, 0u);
    if (c.pauses) {
      // With pauses to do it in, the hold grows there: no frame of speech is ever made up.
      size_t made_up_in_speech = 0;
      size_t frame = 0;
      for (Frame kind : out.kinds) {
        if (kind == Frame::kNone) continue;
        if (kind == Frame::kConcealed && !AlawQuiet(out.audio.data() + frame * 160, 160)) ++made_up_in_speech;
        ++frame;
      }
      EXPECT_EQ(made_up_in_speech, 0u);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(FastAndSlowClients, UplinkDrift,
                         ::testing::Values(DriftCase{15.92, true}, DriftCase{16.08, true},
                                           DriftCase{15.92, false}, DriftCase{16.08, false},
                                           DriftCase{15.984, true}, DriftCase{16.016, true}));

}  // namespace
}  // namespace exchange
