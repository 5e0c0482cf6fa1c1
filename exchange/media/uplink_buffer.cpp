#include "exchange/media/uplink_buffer.h"

#include <algorithm>
#include <cstring>

#include "exchange/protocol/alaw.h"

namespace exchange {
namespace {

constexpr int64_t kBlock = static_cast<int64_t>(kClientBlockSamples);
// Blocks the buffer can hold: about a second, far beyond the longest hold, so reordering and a slow owner
// never overwrite something still to be played.
constexpr int64_t kRingBlocks = 64;
// The hold never goes above this, however rough the network: past it, talking becomes awkward.
constexpr int64_t kMaxHold = 200 * kSamplesPerMs;
// Before any jitter has been seen the buffer holds one frame plus this much: a first block that comes late
// makes it wait (and grow) at once, so starting high only adds delay to calm calls.
constexpr int64_t kStartExtra = 2 * kSamplesPerMs;
// Above its target, the hold is cut in quiet stretches once it is this much over, down to kQuietKeep over;
// in speech only once it is a frame and kSpeechDropMargin over (a cut in speech is heard, like a lost block,
// and a start always lands up to a frame above the target: the first quiet stretch takes that back).
constexpr int64_t kQuietDropAbove = 8 * kSamplesPerMs;
constexpr int64_t kQuietKeep = 3 * kSamplesPerMs;
constexpr int64_t kSpeechDropMargin = 10 * kSamplesPerMs;
// In quiet stretches the hold is brought up to kQuietKeep above its target whenever it falls below the
// target (a slow client's clock, a rougher network); in speech it is let grow only when short by this margin
// (a late block would stall playback and grow it anyway).
constexpr int64_t kSpeechInsertMargin = 30 * kSamplesPerMs;
// The target shrinks by one millisecond every this many frames while the jitter stays below it.
constexpr int kShrinkEveryFrames = 4;
// After this long with nothing to play the client is taken to have stopped sending: frames stop until it
// speaks again.
constexpr int64_t kIdleAfter = 100 * kSamplesPerMs;
// A number far outside the window is believed (a restarted client) when it follows a pause this long, or
// when this many consecutive numbers confirm it.
constexpr uint64_t kRestartPauseMs = 300;
constexpr int kRestartRun = 3;
// Leaps further than this (about 17 minutes of blocks) are not counted as loss.
constexpr int64_t kCountableLeap = 1 << 16;
// Far beyond any number the client can send; keeps all index arithmetic clear of overflow.
constexpr int64_t kSequenceLimit = int64_t{1} << 48;

int64_t FloorBlock(int64_t position) {
  return position >= 0 ? position / kBlock : -((-position + kBlock - 1) / kBlock);
}

}  // namespace

UplinkBuffer::UplinkBuffer(size_t frame_samples)
    : frame_samples_(std::clamp<size_t>(frame_samples, 1, kRingBlocks * kClientBlockSamples / 4)),
      ring_(kRingBlocks * kClientBlockSamples, kAlawSilence),
      slots_(kRingBlocks) {
  target_ = std::min<int64_t>(static_cast<int64_t>(frame_samples_) + kStartExtra, kMaxHold);
  stats_.target_hold_ms = static_cast<int>(target_ / kSamplesPerMs);
}

void UplinkBuffer::Resync(int64_t sequence) {
  // Block indexes start a little below the first block so that its elders, arriving late, still fit.
  origin_ = sequence - kRingBlocks / 2;
  for (Slot& slot : slots_)
    slot.index = -1;
  jitter_.Clear();
  concealer_.Reset();
  synced_ = true;
  playing_ = false;
  newest_ = -1;
  read_pos_ = 0;
  first_ = -1;
  covered_run_ = 0;
  stray_run_ = 0;
}

bool UplinkBuffer::FollowJump(int64_t sequence, uint64_t now_ms) {
  if (sequence == stray_next_ - 1 && stray_run_ > 0) return false;  // the second copy of a stray
  stray_run_ = sequence == stray_next_ ? stray_run_ + 1 : 1;
  stray_next_ = sequence + 1;
  if (now_ms < last_arrival_ms_ + kRestartPauseMs && stray_run_ < kRestartRun) return false;
  // A leap forward within reason skipped blocks that were sent and lost; a wild one is a new numbering.
  const int64_t skipped = sequence - origin_ - newest_ - 1;
  if (skipped > 0 && skipped < kCountableLeap) stats_.lost += static_cast<uint64_t>(skipped);
  Resync(sequence);
  ++stats_.resyncs;
  return true;
}

void UplinkBuffer::Put(int64_t sequence, const uint8_t* block, uint64_t now_ms) {
  ++stats_.received;
  if (block == nullptr || sequence < -kSequenceLimit || sequence > kSequenceLimit) return;
  if (!synced_) Resync(sequence);
  int64_t index = sequence - origin_;
  if (newest_ >= 0 && (index < newest_ - kRingBlocks || index > newest_ + kRingBlocks)) {
    if (!FollowJump(sequence, now_ms)) {
      if (index < newest_) ++stats_.late;
      return;
    }
    index = sequence - origin_;
  }
  stray_run_ = 0;
  last_arrival_ms_ = now_ms;
  if (index < 0) {
    ++stats_.late;
    return;
  }
  Slot& slot = slots_[static_cast<size_t>(index % kRingBlocks)];
  if (slot.index == index && !slot.missed) {
    ++stats_.duplicates;
    return;
  }
  // Late blocks count too: they are exactly what the hold has to grow for.
  const int64_t transit = static_cast<int64_t>(now_ms) * kSamplesPerMs - index * kBlock;
  if (!playing_ && !jitter_.empty() && transit - jitter_.recent_base() > kMaxHold) {
    // The client paused without skipping numbers: its blocks now run on a later schedule.
    jitter_.Clear();
  }
  jitter_.Add(transit);
  const bool late = (index + 1) * kBlock <= read_pos_ || slot.index == index;
  // Loss is judged by the numbering: a gap counts as lost until its block comes in time, and a block that
  // comes after its turn is lost whether or not a gap had announced it.
  if (first_ < 0) {
    first_ = index;
    if (late) ++stats_.lost;
  } else if (index > newest_) {
    stats_.lost += static_cast<uint64_t>(index - newest_ - 1) + (late ? 1 : 0);
  } else if (index < first_) {
    stats_.lost += static_cast<uint64_t>(first_ - index - 1) + (late ? 1 : 0);
    first_ = index;
  } else if (!late && stats_.lost > 0) {
    --stats_.lost;
  }
  newest_ = std::max(newest_, index);
  if (late) {
    ++stats_.late;
    return;
  }
  if (index >= FloorBlock(read_pos_) + kRingBlocks) {
    // Nobody has drained the buffer for a second (or the client leapt ahead): the oldest blocks make room.
    const int64_t to = (index - kRingBlocks + 1) * kBlock;
    stats_.dropped_samples += static_cast<uint64_t>(to - read_pos_);
    AdvanceTo(to);
  }
  std::memcpy(ring_.data() + (index % kRingBlocks) * kBlock, block, kClientBlockSamples);
  slot.index = index;
  slot.missed = false;
}

void UplinkBuffer::AdvanceTo(int64_t position) {
  read_pos_ = std::max(read_pos_, position);
}

bool UplinkBuffer::Held(int64_t index) const {
  const Slot& slot = slots_[static_cast<size_t>(index % kRingBlocks)];
  return index >= 0 && slot.index == index && !slot.missed;
}

bool UplinkBuffer::Covered(int64_t from, int64_t to) const {
  for (int64_t index = FloorBlock(from); index * kBlock < to; ++index) {
    if (!Held(index)) return false;
  }
  return true;
}

bool UplinkBuffer::Quiet(int64_t from, int64_t to) const {
  // Blocks still missing are not quiet: they may yet come, and cutting them would make them late.
  for (int64_t position = from; position < to;) {
    const int64_t index = FloorBlock(position);
    const int64_t end = std::min(to, (index + 1) * kBlock);
    if (!Held(index) ||
        !AlawQuiet(ring_.data() + (index % kRingBlocks) * kBlock + (position - index * kBlock),
                   static_cast<size_t>(end - position))) {
      return false;
    }
    position = end;
  }
  return true;
}

size_t UplinkBuffer::CopyOut(int64_t from, size_t count, uint8_t* out) {
  size_t real = 0;
  const int64_t to = from + static_cast<int64_t>(count);
  for (int64_t position = from; position < to;) {
    const int64_t index = FloorBlock(position);
    const int64_t end = std::min(to, (index + 1) * kBlock);
    const size_t length = static_cast<size_t>(end - position);
    if (Held(index)) {
      std::memcpy(out, ring_.data() + (index % kRingBlocks) * kBlock + (position - index * kBlock), length);
      concealer_.Played(out, length);
      real += length;
    } else {
      concealer_.Conceal(out, length);
      // Part of it has been covered now; the rest must not be played should it turn up.
      Slot& slot = slots_[static_cast<size_t>(index % kRingBlocks)];
      slot.index = index;
      slot.missed = true;
    }
    out += length;
    position = end;
  }
  return real;
}

void UplinkBuffer::UpdateTarget() {
  const int64_t frame = static_cast<int64_t>(frame_samples_);
  const int64_t want = jitter_.empty() ? target_ : std::clamp(frame + jitter_.spread(), frame, kMaxHold);
  if (want > target_) {
    target_ = want;  // a rougher network is answered at once
    shrink_count_ = 0;
  } else if (want < target_ && ++shrink_count_ >= kShrinkEveryFrames) {
    target_ = std::max(want, target_ - kSamplesPerMs);  // a calmer one only slowly, in case it returns
    shrink_count_ = 0;
  }
  stats_.target_hold_ms = static_cast<int>(target_ / kSamplesPerMs);
}

int64_t UplinkBuffer::Hold(uint64_t now_ms) const {
  return static_cast<int64_t>(now_ms) * kSamplesPerMs - jitter_.recent_base() - read_pos_;
}

bool UplinkBuffer::TryStart(uint64_t now_ms) {
  int64_t first = -1;
  for (const Slot& slot : slots_) {
    if (slot.index >= 0 && !slot.missed && (slot.index + 1) * kBlock > read_pos_ &&
        (first < 0 || slot.index < first)) {
      first = slot.index;
    }
  }
  if (first < 0) return false;
  int64_t start = std::max(read_pos_, first * kBlock);
  const int64_t due = static_cast<int64_t>(now_ms) * kSamplesPerMs - jitter_.recent_base() - target_;
  if (due < start) return false;
  if (due - start > kMaxHold) {
    // Blocks piled up while nobody drained the buffer: start with the one that is due now, not the oldest.
    for (int64_t index = FloorBlock(due); index <= newest_; ++index) {
      if (Held(index)) {
        stats_.dropped_samples += static_cast<uint64_t>(index * kBlock - start);
        start = index * kBlock;
        break;
      }
    }
  }
  AdvanceTo(start);
  playing_ = true;
  covered_run_ = 0;
  concealer_.Reset();
  return true;
}

int64_t UplinkBuffer::Steer(int64_t hold) {
  const int64_t frame = static_cast<int64_t>(frame_samples_);
  const int64_t excess = hold - target_;
  if (excess > kQuietDropAbove) {
    // Drop, down to where quiet stretches hold it (by at most a frame at a time), but keep at least a frame
    // of what has arrived.
    const int64_t room = NewestEnd() - read_pos_ - frame;
    const int64_t quiet_drop = std::min({excess - kQuietKeep, frame, room});
    const int64_t speech_drop = std::min({excess, frame, room});
    if (quiet_drop > 0 && Quiet(read_pos_, read_pos_ + quiet_drop)) {
      stats_.dropped_samples += static_cast<uint64_t>(quiet_drop);
      AdvanceTo(read_pos_ + quiet_drop);
    } else if (speech_drop > 0 && excess > frame + kSpeechDropMargin) {
      stats_.dropped_samples += static_cast<uint64_t>(speech_drop);
      AdvanceTo(read_pos_ + speech_drop);
    }
    return 0;
  }
  int64_t insert = 0;
  if (excess < 0 && last_quiet_ && Quiet(read_pos_, read_pos_ + frame)) {
    insert = std::min(kQuietKeep - excess, frame);
  } else if (-excess > kSpeechInsertMargin) {
    insert = std::min(-excess, frame);
  }
  stats_.inserted_samples += static_cast<uint64_t>(insert);
  return insert;
}

UplinkBuffer::Frame UplinkBuffer::Get(uint8_t* frame, bool* marker, uint64_t now_ms) {
  if (marker != nullptr) *marker = false;
  if (!synced_ || frame == nullptr) return Frame::kNone;
  UpdateTarget();
  if (!playing_) {
    if (!TryStart(now_ms)) return Frame::kNone;
    if (marker != nullptr) *marker = true;
  }
  const int64_t insert = Steer(Hold(now_ms));
  stats_.hold_ms = static_cast<int>(Hold(now_ms) / kSamplesPerMs);
  const int64_t real = static_cast<int64_t>(frame_samples_) - insert;

  bool concealed = insert > 0;
  size_t copied = 0;
  if (real > 0 && Hold(now_ms) < target_ && !Covered(read_pos_, read_pos_ + real)) {
    // Part of this frame has not come yet and the hold is still short of what the jitter needs: wait for
    // it, so that a late block costs delay (taken back later in a quiet stretch) instead of audio.
    concealer_.Conceal(frame, frame_samples_);
    concealed = true;
  } else {
    concealer_.Conceal(frame, static_cast<size_t>(insert));
    if (real > 0) {
      copied = CopyOut(read_pos_, static_cast<size_t>(real), frame + insert);
      concealed = concealed || copied < static_cast<size_t>(real);
      AdvanceTo(read_pos_ + real);
    }
  }
  // Nothing real for a while: the client has stopped sending (or the network has). Stop the frames; the
  // next block that comes starts a new talk spurt.
  covered_run_ = copied > 0 ? 0 : covered_run_ + static_cast<int64_t>(frame_samples_);
  if (covered_run_ > kIdleAfter) {
    // What was made up past the newest block stood in for blocks that were never sent, not for lost ones:
    // should the client carry on from there, its next block is on time, not late.
    for (int64_t index = newest_ + 1; index * kBlock < read_pos_; ++index) {
      Slot& slot = slots_[static_cast<size_t>(index % kRingBlocks)];
      if (slot.index == index) slot = Slot();
    }
    read_pos_ = std::min(read_pos_, NewestEnd());
    playing_ = false;
    covered_run_ = 0;
    concealer_.Reset();
    return Frame::kNone;
  }
  last_quiet_ = AlawQuiet(frame, frame_samples_);
  ++stats_.frames;
  if (concealed) ++stats_.concealed;
  return concealed ? Frame::kConcealed : Frame::kAudio;
}

}  // namespace exchange
