// Covers missing audio: repeats the last block that was played, fading it out over a few tens of
// milliseconds, then silence. A repeat of the listener's own last sound is far less jarring than a hole,
// and the fade keeps a long gap from turning into a buzz.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "exchange/media/media_format.h"

namespace exchange {

class Concealer {
 public:
  Concealer();

  // Remembers samples that went out for real; ends any concealment in progress.
  void Played(const uint8_t* samples, size_t count);
  // Writes `count` made-up samples that continue from what was played and concealed so far.
  void Conceal(uint8_t* out, size_t count);
  // Forgets the past (a new talk spurt must not start with an echo of the old one).
  void Reset();

 private:
  std::array<uint8_t, kClientBlockSamples> history_;
  size_t next_ = 0;           // where the next played sample goes; also the oldest one kept
  size_t repeat_ = 0;         // where the repeat reads next
  size_t concealed_run_ = 0;  // samples made up since the last real one
};

}  // namespace exchange
