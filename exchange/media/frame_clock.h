// A media clock that keeps to its own schedule: frames fall due every `frame_ms` from its start, however late
// the timer that wakes it fires, and each carries the RTP timestamp of its place in that schedule. After a
// stall (the process was stopped, the machine overloaded) it sends at most a few frames at once and passes
// over the rest, so the far end sees a gap instead of a burst it would only discard.
#pragma once

#include <cstdint>

namespace exchange {

class FrameClock {
 public:
  FrameClock(uint32_t frame_ms, uint32_t frame_samples, uint32_t max_catch_up)
      : frame_ms_(frame_ms), frame_samples_(frame_samples), max_catch_up_(max_catch_up) {}

  // The first frame falls due one frame after `now_ms`.
  void Start(uint64_t now_ms) { next_due_ms_ = now_ms + frame_ms_; }

  // The frames to send at a wake-up at `now_ms`: at most max_catch_up, stamped `*first_timestamp` and on,
  // one frame's samples apart; the time of any frames passed over beyond them is skipped in the timestamps.
  uint32_t Due(uint64_t now_ms, uint32_t* first_timestamp);

  // When the timer should wake the clock next.
  uint64_t next_due_ms() const { return next_due_ms_; }

 private:
  uint32_t frame_ms_;
  uint32_t frame_samples_;
  uint32_t max_catch_up_;
  uint64_t next_due_ms_ = 0;  // the first frame not yet counted as due
  uint32_t timestamp_ = 0;    // of the next frame due
};

}  // namespace exchange
