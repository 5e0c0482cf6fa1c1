#include "exchange/media/downlink_buffer.h"

#include <algorithm>
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
// Reads over which the lowest backlog is watched before deciding it could be trimmed.
constexpr int kTrimWindow = 32;
// A backlog that never drops below what a fresh start leaves after a read (a packet and a block) plus this
// much has latency to spare.
constexpr int64_t kTrimSlack = 8 * kSamplesPerMs;

}  // namespace

DownlinkBuffer::DownlinkBuffer() : ring_(kRing, kAlawSilence), present_(kRing, 0) {}

int64_t DownlinkBuffer::StartLevel() const {
  // What the pacer needs to ride from one packet to the next (a packet and a block), plus one more packet
  // so that a packet overtaken by its successor is still in time.
  return 2 * static_cast<int64_t>(packet_samples_) + kBlock;
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
  (void)now_ms;  // placement is by timestamp alone; the reader's ticks are the clock
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
  }
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
  for (int64_t position = from; position < to; ++position) {
    const size_t at = static_cast<size_t>(position % kRing);
    if (present_[at] && !AlawQuiet(&ring_[at], 1)) return false;
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
  min_level_ = newest_end_ - read_pos_;
  window_reads_ = 0;
  trim_ = 0;
  return true;
}

void DownlinkBuffer::WatchBacklog() {
  const int64_t level = newest_end_ - read_pos_;
  stats_.backlog_ms = static_cast<int>(level / kSamplesPerMs);
  min_level_ = std::min(min_level_, level);
  if (++window_reads_ < kTrimWindow) return;
  // The backlog never fell near empty over the whole window: the PBX's clock is ahead of the pacer, or a
  // burst left extra queued. Trim the excess, a little at a time in quiet stretches.
  const int64_t spare = min_level_ - static_cast<int64_t>(packet_samples_) - kBlock;
  trim_ = spare > kTrimSlack ? spare : 0;
  min_level_ = level;
  window_reads_ = 0;
}

bool DownlinkBuffer::Read(uint8_t* block, uint64_t now_ms) {
  (void)now_ms;
  if (!any_ || block == nullptr) return false;
  if (!playing_ && !TryStart()) return false;
  if (trim_ > 0) {
    const int64_t cut = std::min({trim_, kBlock, newest_end_ - read_pos_ - kBlock});
    if (cut > 0 && Quiet(read_pos_, read_pos_ + cut)) {
      stats_.dropped_samples += static_cast<uint64_t>(cut);
      AdvanceTo(read_pos_ + cut);
      trim_ -= cut;
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
  WatchBacklog();
  return true;
}

}  // namespace exchange
