// The PBX's voice on its way to the client. RTP comes in packets of 10 to 60 ms, possibly reordered,
// duplicated or lost, on the PBX's clock; the client plays every datagram the moment it arrives and keeps no
// buffer, so it must be fed one 16 ms block (128 samples of A-law) per tick of the call's pacer. This buffer
// lays packets out by timestamp, keeps what the two clocks' phase needs plus the arrival jitter it sees (at
// most a packet more), cuts the stream into blocks and covers gaps. Time comes in from the owner; nothing
// here touches a socket or a clock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "exchange/media/concealer.h"
#include "exchange/media/jitter_estimate.h"

namespace exchange {

class DownlinkBuffer {
 public:
  struct Stats {
    uint64_t received = 0;         // packets handed to Put and accepted (duplicates and late ones included)
    uint64_t duplicates = 0;       // packets whose sequence number was already seen
    uint64_t late = 0;             // packets that came after their samples' turn had passed
    uint64_t lost = 0;             // sequence gaps not filled in time (late packets count here too)
    uint64_t rejected = 0;         // packets of a size outside 10-60 ms
    uint64_t concealed = 0;        // blocks with made-up samples in them
    uint64_t blocks = 0;           // blocks returned by Read
    uint64_t dropped_samples = 0;  // discarded to keep the backlog short (fast PBX clock, bursts)
    uint64_t resyncs = 0;          // timestamp jumps followed (new source, new talk spurt)
    int backlog_ms = 0;            // audio queued ahead of the next block after the last Read
  };

  DownlinkBuffer();

  // One RTP payload of PCMA: `samples` bytes (80..480; anything else is counted and ignored). Packets are
  // placed by timestamp; sequence numbers only tell duplicates and loss. A timestamp far ahead (a new talk
  // spurt) or a new source is joined straight on to what is queued. now_ms (arrival) tells the jitter.
  void Put(uint16_t rtp_sequence, uint32_t rtp_timestamp, const uint8_t* payload, size_t samples,
           uint64_t now_ms);

  // Called every 16 ms. Fills `block` with kClientBlockSamples bytes and returns true, or returns false when
  // there is nothing to play: not started (it starts once a packet and a block are queued, plus the jitter
  // seen: what the pacer needs whatever the clocks' phase), or the stream stopped (after ~100 ms of covering
  // for it).
  bool Read(uint8_t* block, uint64_t now_ms);

  const Stats& stats() const { return stats_; }

 private:
  bool SeenBefore(uint16_t sequence, bool* new_source, bool* fills_gap);
  int64_t StartLevel() const;
  int64_t Allowance() const;
  int64_t MaxBacklog() const;
  void AdvanceTo(int64_t position);
  void Store(int64_t position, const uint8_t* payload, size_t samples);
  bool Covered(int64_t from, int64_t to) const;
  bool Quiet(int64_t from, int64_t to) const;
  bool CopyOut(uint8_t* out);
  bool TryStart();
  void WatchBacklog(int64_t level);

  std::vector<uint8_t> ring_;     // samples, by stream position modulo its size
  std::vector<uint8_t> present_;  // 1 where ring_ holds a received sample not yet played
  Concealer concealer_;
  JitterEstimate jitter_;
  Stats stats_;

  bool any_ = false;           // a packet has been accepted
  bool playing_ = false;       // blocks are flowing
  bool ever_played_ = false;   // a block has been given since the first packet
  int64_t offset_ = 0;         // unwrapped timestamp + offset_ = stream position
  int64_t last_ts_ = 0;        // unwrapped timestamp of the newest packet, the reference for unwrapping
  int64_t newest_end_ = 0;     // stream position just past the newest received sample
  int64_t read_pos_ = 0;       // stream position of the next sample to play
  size_t packet_samples_ = 0;  // size of the latest packet: the reorder slack
  int stalled_blocks_ = 0;
  int64_t min_level_ = 0;  // lowest backlog before a read over the current watch window
  int window_reads_ = 0;
  std::array<int64_t, 4> window_mins_{};  // the lowest backlog of each of the last windows
  size_t windows_ = 0;                    // windows watched since the start
  int64_t trim_ = 0;                      // samples to drop in the next quiet stretches
  uint64_t now_ms_ = 0;                   // the latest time given to Put or Read
  bool gap_seen_ = false;                 // a packet was missing when its successor came...
  uint64_t last_gap_ms_ = 0;              // ...the last time at this time

  bool seq_known_ = false;
  uint16_t highest_seq_ = 0;
  uint64_t seen_mask_ = 0;  // bit i: highest_seq_ - i was received
};

}  // namespace exchange
