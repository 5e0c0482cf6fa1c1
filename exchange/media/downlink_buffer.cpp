#include "exchange/media/downlink_buffer.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "exchange/protocol/alaw.h"

namespace exchange {
namespace {

constexpr int64_t kBlock = static_cast<int64_t>(kClientBlockSamples);
// Half a second of samples: the backlog bound plus the largest forward step that is still taken as loss
// rather than a new start, with room to spare.
constexpr int64_t kRing = 4096;
constexpr size_t kMinPacket = 10 * kSamplesPerMs;
constexpr size_t kMaxPacket = 60 * kSamplesPerMs;
// A timestamp further than this from the stream so far starts a new stretch of it (new talk spurt or
// source) instead of leaving a hole or being discarded as late.
constexpr int64_t kJump = kRing / 2;
// A sequence number this far from the last is a new source, not loss.
constexpr int kSequenceJump = 1000;
// More than this much queued and the oldest goes (unless packets are so long that the start level needs
// more).
constexpr int64_t kMaxBacklog = 120 * kSamplesPerMs;
// Blocks concealed in a row while waiting, after which the stream is taken to have stopped.
constexpr int kStopAfterBlocks = 6;
// How long a gap in the numbering keeps a packet's allowance in place.
constexpr uint64_t kGapMemoryMs = 10000;
// Reads over which the lowest backlog is watched; the last four windows (2 s) decide whether it could be
// trimmed, so that a rare meeting of a packet's arrival with a late read (the timer firing a little late)
// has been seen too.
constexpr int kTrimWindow = 32;
// What the backlog keeps before a read beyond the block it needs: this much for the pacer's timer firing a
// little late, plus the arrival jitter's spread (at most one packet)...
constexpr int64_t kKeep = 2 * kSamplesPerMs;
// ...and is trimmed only once it has this much more to spare, so that it is not trimmed back and forth.
constexpr int64_t kTrimSlack = 2 * kSamplesPerMs;

}  // namespace

DownlinkBuffer::DownlinkBuffer() : ring_(kRing, kAlawSilence), present_(kRing, 0) {}

int64_t DownlinkBuffer::StartLevel() const {
  // What the pacer needs to ride from one packet to the next whatever the two clocks' phase (a packet and a
  // block), plus the arrival jitter seen so far. The watch over the backlog then trims what the phase
  // does not need.
  return static_cast<int64_t>(packet_samples_) + kBlock + Allowance();
}

int64_t DownlinkBuffer::Allowance() const {
  // A packet missing when its successor comes (lost, or overtaken) is told from a late one only if the
  // successor is in before the gap's turn: after one, a packet more is kept for a while.
  const int64_t packet = static_cast<int64_t>(packet_samples_);
  if (gap_seen_ && now_ms_ < last_gap_ms_ + kGapMemoryMs) return packet;
  return std::min(jitter_.spread(), packet);
}

int64_t DownlinkBuffer::MaxBacklog() const {
  // Long packets need more than 120 ms for the start level and an overtaken packet arriving together with
  // its successor on top of it.
  return std::max<int64_t>(kMaxBacklog, StartLevel() + 2 * static_cast<int64_t>(packet_samples_));
}

bool DownlinkBuffer::SeenBefore(uint16_t sequence, bool* new_source, bool* fills_gap) {
  *new_source = false;
  *fills_gap = false;
  if (!seq_known_) {
    seq_known_ = true;
    highest_seq_ = sequence;
    seen_mask_ = 1;
    return false;
  }
  const int distance = static_cast<int16_t>(static_cast<uint16_t>(sequence - highest_seq_));
  if (distance > kSequenceJump || distance < -kSequenceJump) {
    *new_source = true;
    highest_seq_ = sequence;
    seen_mask_ = 1;
    return false;
  }
  if (distance > 0) {
    stats_.lost += static_cast<uint64_t>(distance - 1);
    if (distance > 1) {
      gap_seen_ = true;
      last_gap_ms_ = now_ms_;
    }
    seen_mask_ = distance < 64 ? (seen_mask_ << distance) | 1 : 1;
    highest_seq_ = sequence;
    return false;
  }
  if (distance <= -64) return false;  // too old to tell; its timestamp decides
  const uint64_t bit = uint64_t{1} << -distance;
  if (seen_mask_ & bit) return true;
  seen_mask_ |= bit;
  *fills_gap = true;
  return false;
}

void DownlinkBuffer::AdvanceTo(int64_t position) {
  // Clearing what is passed keeps an old sample from passing for a new one when the ring comes round.
  const int64_t count = std::min(position - read_pos_, kRing);
  if (count > 0) {
    const size_t at = static_cast<size_t>(read_pos_ % kRing);
    const size_t first = std::min(static_cast<size_t>(count), static_cast<size_t>(kRing) - at);
    std::memset(present_.data() + at, 0, first);
    std::memset(present_.data(), 0, static_cast<size_t>(count) - first);
  }
  read_pos_ = std::max(read_pos_, position);
}

void DownlinkBuffer::Store(int64_t position, const uint8_t* payload, size_t samples) {
  size_t at = static_cast<size_t>(position % kRing);
  while (samples > 0) {
    const size_t length = std::min(samples, static_cast<size_t>(kRing) - at);
    std::memcpy(ring_.data() + at, payload, length);
    std::memset(present_.data() + at, 1, length);
    payload += length;
    samples -= length;
    at = 0;
  }
}

void DownlinkBuffer::Put(uint16_t rtp_sequence, uint32_t rtp_timestamp, const uint8_t* payload,
                         size_t samples, uint64_t now_ms) {
  now_ms_ = now_ms;
  if (payload == nullptr || samples < kMinPacket || samples > kMaxPacket) {
    ++stats_.rejected;
    return;
  }
  ++stats_.received;
  bool new_source = false;
  bool fills_gap = false;
  if (SeenBefore(rtp_sequence, &new_source, &fills_gap)) {
    ++stats_.duplicates;
    return;
  }
  packet_samples_ = samples;
  const int64_t length = static_cast<int64_t>(samples);
  int64_t timestamp;
  if (!any_) {
    any_ = true;
    timestamp = rtp_timestamp;
    offset_ = kRing - timestamp;  // positions start well above zero, so early stragglers still fit
    read_pos_ = kRing;
    newest_end_ = kRing;
  } else {
    timestamp = last_ts_ + static_cast<int32_t>(rtp_timestamp - static_cast<uint32_t>(last_ts_));
  }
  int64_t position = timestamp + offset_;
  const bool ahead = position > newest_end_ + kJump;
  const bool behind = position + length < read_pos_ - kJump;
  const bool resync = ahead || (behind && new_source);
  if (resync) {
    // A new stretch of stream: it follows straight on from what is queued.
    offset_ += newest_end_ - position;
    position = newest_end_;
    ++stats_.resyncs;
    jitter_.Clear();  // the new stretch runs on a schedule of its own
  }
  // Placement is by timestamp alone (the reader's ticks are the clock); arrival times tell the jitter.
  jitter_.Add(static_cast<int64_t>(now_ms) * kSamplesPerMs - position);
  if (timestamp > last_ts_ || resync) last_ts_ = timestamp;
  if (!ever_played_ && position < read_pos_ && read_pos_ - position <= kJump) {
    read_pos_ = position;  // overtaken before anything was played: nothing of it is late yet
  }
  if (position + length <= read_pos_) {
    ++stats_.late;
    return;
  }
  if (fills_gap && stats_.lost > 0) --stats_.lost;  // the gap it left was reordering, not loss
  newest_end_ = std::max(newest_end_, position + length);
  if (newest_end_ - read_pos_ > MaxBacklog()) {
    // Room is made before storing, so the packet can never land on ring space still waiting to be played.
    const int64_t to = newest_end_ - MaxBacklog();
    stats_.dropped_samples += static_cast<uint64_t>(to - read_pos_);
    AdvanceTo(to);
  }
  const int64_t skip = std::min(length, std::max<int64_t>(0, read_pos_ - position));
  Store(position + skip, payload + skip, samples - static_cast<size_t>(skip));
}

bool DownlinkBuffer::Covered(int64_t from, int64_t to) const {
  const size_t at = static_cast<size_t>(from % kRing);
  const size_t count = static_cast<size_t>(to - from);
  const size_t first = std::min(count, static_cast<size_t>(kRing) - at);
  return std::memchr(present_.data() + at, 0, first) == nullptr &&
         std::memchr(present_.data(), 0, count - first) == nullptr;
}

bool DownlinkBuffer::Quiet(int64_t from, int64_t to) const {
  // Samples still missing are not quiet: they may yet come, and cutting them would make them late.
  for (int64_t position = from; position < to; ++position) {
    const size_t at = static_cast<size_t>(position % kRing);
    if (!present_[at] || !AlawQuiet(&ring_[at], 1)) return false;
  }
  return true;
}

bool DownlinkBuffer::CopyOut(uint8_t* out) {
  bool concealed = false;
  size_t done = 0;
  while (done < kClientBlockSamples) {
    const size_t at = static_cast<size_t>((read_pos_ + static_cast<int64_t>(done)) % kRing);
    const bool have = present_[at] != 0;
    size_t run = 1;
    while (done + run < kClientBlockSamples && (present_[(at + run) % kRing] != 0) == have)
      ++run;
    if (have) {
      for (size_t i = 0; i < run; ++i)
        out[done + i] = ring_[(at + i) % kRing];
      concealer_.Played(out + done, run);
    } else {
      concealer_.Conceal(out + done, run);
      concealed = true;
    }
    done += run;
  }
  return concealed;
}

bool DownlinkBuffer::TryStart() {
  int64_t first = read_pos_;
  while (first < newest_end_ && present_[static_cast<size_t>(first % kRing)] == 0)
    ++first;
  if (first >= newest_end_) return false;
  if (newest_end_ - first < StartLevel()) return false;
  AdvanceTo(first);
  playing_ = true;
  ever_played_ = true;
  stalled_blocks_ = 0;
  concealer_.Reset();
  min_level_ = INT64_MAX;
  window_reads_ = 0;
  windows_ = 0;
  trim_ = 0;
  return true;
}

void DownlinkBuffer::WatchBacklog(int64_t level) {
  // `level` is what is queued as a read begins: it must hold the block. Over a window of reads its lowest
  // point shows what the two clocks' phase and the arrivals' jitter really need; the PBX's clock running
  // ahead of the pacer, a burst, or the start-up leave more. The excess is trimmed, a little at a time in
  // quiet stretches.
  min_level_ = std::min(min_level_, level);
  if (++window_reads_ < kTrimWindow) return;
  window_mins_[windows_ % window_mins_.size()] = min_level_;
  ++windows_;
  min_level_ = INT64_MAX;
  window_reads_ = 0;
  if (windows_ < window_mins_.size()) return;
  const int64_t lowest = *std::min_element(window_mins_.begin(), window_mins_.end());
  const int64_t spare = lowest - kBlock - kKeep - Allowance();
  trim_ = spare > kTrimSlack ? spare : 0;
}

bool DownlinkBuffer::Read(uint8_t* block, uint64_t now_ms) {
  now_ms_ = now_ms;
  if (!any_ || block == nullptr) return false;
  if (!playing_ && !TryStart()) return false;
  WatchBacklog(newest_end_ - read_pos_);
  if (trim_ > 0) {
    const int64_t cut = std::min({trim_, kBlock, newest_end_ - read_pos_ - kBlock});
    if (cut > 0 && Quiet(read_pos_, read_pos_ + cut)) {
      stats_.dropped_samples += static_cast<uint64_t>(cut);
      AdvanceTo(read_pos_ + cut);
      trim_ -= cut;
      // What is cut now was not spare in the windows that saw it.
      for (int64_t& level_seen : window_mins_)
        level_seen -= cut;
      min_level_ -= cut;
    }
  }
  bool concealed;
  if (newest_end_ < read_pos_ + kBlock) {
    // The block is not all here and nothing after it is: wait for the stream rather than skip ahead.
    if (++stalled_blocks_ > kStopAfterBlocks) {
      playing_ = false;
      stats_.backlog_ms = 0;
      return false;
    }
    concealer_.Conceal(block, kClientBlockSamples);
    concealed = true;
  } else {
    stalled_blocks_ = 0;
    concealed = !Covered(read_pos_, read_pos_ + kBlock) ? CopyOut(block) : false;
    if (!concealed) {
      const size_t at = static_cast<size_t>(read_pos_ % kRing);
      const size_t first = std::min(kClientBlockSamples, static_cast<size_t>(kRing) - at);
      std::memcpy(block, ring_.data() + at, first);
      std::memcpy(block + first, ring_.data(), kClientBlockSamples - first);
      concealer_.Played(block, kClientBlockSamples);
    }
    AdvanceTo(read_pos_ + kBlock);
  }
  ++stats_.blocks;
  if (concealed) ++stats_.concealed;
  stats_.backlog_ms = static_cast<int>((newest_end_ - read_pos_) / kSamplesPerMs);
  return true;
}

}  // namespace exchange
