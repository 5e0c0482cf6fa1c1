// The client's voice on its way to the PBX. The client sends 16 ms blocks (128 samples of A-law) numbered
// 1, 2, 3, ... over UDP, sometimes twice, sometimes late or out of order; the PBX wants one steady 20 ms RTP
// frame per tick. This buffer sits between the two: it orders blocks by their number, holds them just long
// enough to ride out the arrival jitter it observes, cuts them into frames and covers what is missing.
// No sockets and no clock of its own: the owner passes the time in, so every behaviour can be replayed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "exchange/media/concealer.h"
#include "exchange/media/jitter_estimate.h"

namespace exchange {

class UplinkBuffer {
 public:
  enum class Frame {
    kNone,       // nothing to send: no voice yet, or the client has fallen silent for a while
    kAudio,      // the client's own samples, byte for byte
    kConcealed,  // at least part of the frame was made up to cover a missing or late block
  };

  struct Stats {
    uint64_t received = 0;    // blocks handed to Put (duplicates and late ones included)
    uint64_t duplicates = 0;  // blocks already held or already played
    uint64_t late = 0;        // blocks that came after their turn to play had passed
    uint64_t lost = 0;        // gaps in the numbering not filled in time (so late blocks count here too)
    uint64_t concealed = 0;   // frames with made-up samples in them
    uint64_t frames = 0;      // frames returned as kAudio or kConcealed
    int hold_ms = 0;          // how long the newest frame waited after its block could first have arrived
    int target_hold_ms = 0;   // the hold the buffer is steering towards, from the jitter it has seen
    uint64_t dropped_samples = 0;   // skipped to keep the hold down (fast client clock, shrinking jitter)
    uint64_t inserted_samples = 0;  // added to let the hold grow (slow client clock, growing jitter)
    uint64_t resyncs = 0;           // restarts of the client's numbering followed
  };

  // frame_samples: the size of one outgoing frame (160 for 20 ms at 8 kHz; kept within 1..2048).
  explicit UplinkBuffer(size_t frame_samples = 160);

  // One client block as it arrived: `block` holds kClientBlockSamples bytes of A-law. Duplicates, late
  // blocks and numbers beyond +-2^48 are counted and ignored; a much lower number after a pause (or three
  // in a row) is a restarted client and is followed. now_ms: the same monotonic clock Get is given.
  void Put(int64_t sequence, const uint8_t* block, uint64_t now_ms);

  // Called once per frame period. Fills `frame` (frame_samples bytes) unless kNone is returned; `*marker`
  // (may be null) is set on the first frame of a talk spurt, after start or after kNone. The owner should
  // let its RTP timestamp run on through kNone ticks, so the far end hears the pause as a pause.
  Frame Get(uint8_t* frame, bool* marker, uint64_t now_ms);

  const Stats& stats() const { return stats_; }
  size_t frame_samples() const { return frame_samples_; }

 private:
  struct Slot {
    int64_t index = -1;   // which block the slot holds (counted from origin_), -1 when empty
    bool missed = false;  // the block's turn came before it did: it was covered, and is late if it comes
  };

  void Resync(int64_t sequence);
  bool FollowJump(int64_t sequence, uint64_t now_ms);
  void AdvanceTo(int64_t position);
  bool Held(int64_t index) const;
  bool Covered(int64_t from, int64_t to) const;
  bool Quiet(int64_t from, int64_t to) const;
  size_t CopyOut(int64_t from, size_t count, uint8_t* out);
  void UpdateTarget();
  int64_t Hold(uint64_t now_ms) const;
  bool TryStart(uint64_t now_ms);
  int64_t Steer(int64_t hold);
  int64_t NewestEnd() const { return (newest_ + 1) * static_cast<int64_t>(kClientBlockSamples); }

  size_t frame_samples_;
  std::vector<uint8_t> ring_;  // the samples of the blocks in slots_, slot by slot
  std::vector<Slot> slots_;
  JitterEstimate jitter_;
  Concealer concealer_;
  Stats stats_;

  bool synced_ = false;   // the numbering is known: a block has arrived
  bool playing_ = false;  // frames are flowing; false before the first and after a long silence
  int64_t origin_ = 0;    // client sequence number of block index 0
  int64_t newest_ = -1;   // highest block index received
  int64_t read_pos_ = 0;  // next sample to play, counted from the start of block 0
  int64_t first_ = -1;    // lowest block index received: below it, numbers were never missed
  int64_t target_ = 0;    // the hold to steer towards, in samples
  int shrink_count_ = 0;
  int64_t covered_run_ = 0;  // samples made up in a row: a long run means the client has gone quiet
  bool last_quiet_ = true;
  uint64_t last_arrival_ms_ = 0;
  int64_t stray_next_ = 0;  // expected next number of a run of far-off numbers
  int stray_run_ = 0;
};

}  // namespace exchange
