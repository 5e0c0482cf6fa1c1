#include "exchange/media/frame_clock.h"

namespace exchange {

uint32_t FrameClock::Due(uint64_t now_ms, uint32_t* first_timestamp) {
  *first_timestamp = timestamp_;
  uint32_t due = 0;
  while (next_due_ms_ <= now_ms && due < max_catch_up_) {
    next_due_ms_ += frame_ms_;
    ++due;
  }
  uint64_t frames = due;
  if (next_due_ms_ <= now_ms) {
    const uint64_t behind = (now_ms - next_due_ms_) / frame_ms_ + 1;
    next_due_ms_ += behind * frame_ms_;
    frames += behind;
  }
  timestamp_ += static_cast<uint32_t>(frames * frame_samples_);
  return due;
}

}  // namespace exchange
