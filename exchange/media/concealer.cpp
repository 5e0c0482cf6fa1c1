#include "exchange/media/concealer.h"

#include <cstring>

#include "exchange/protocol/alaw.h"

namespace exchange {
namespace {

// The repeat fades to nothing over 40 ms: long enough to bridge a lost packet or two smoothly, short enough
// that a longer outage is heard as silence rather than a stuck sound.
constexpr size_t kFadeSamples = 40 * kSamplesPerMs;

}  // namespace

Concealer::Concealer() {
  Reset();
}

void Concealer::Reset() {
  history_.fill(kAlawSilence);
  next_ = 0;
  repeat_ = 0;
  concealed_run_ = kFadeSamples;  // nothing to repeat yet: conceal with silence
}

void Concealer::Played(const uint8_t* samples, size_t count) {
  const size_t size = history_.size();
  if (count >= size) {
    std::memcpy(history_.data(), samples + count - size, size);
    next_ = 0;
  } else {
    const size_t first = count < size - next_ ? count : size - next_;
    std::memcpy(history_.data() + next_, samples, first);
    std::memcpy(history_.data(), samples + first, count - first);
    next_ = (next_ + count) % size;
  }
  repeat_ = next_;  // a repeat starts one block back, so it continues the waveform's last period
  concealed_run_ = 0;
}

void Concealer::Conceal(uint8_t* out, size_t count) {
  const size_t size = history_.size();
  for (size_t i = 0; i < count; ++i) {
    if (concealed_run_ >= kFadeSamples) {
      std::memset(out + i, kAlawSilence, count - i);
      return;
    }
    const uint8_t source = history_[repeat_];
    repeat_ = (repeat_ + 1) % size;
    const int gain = static_cast<int>(kFadeSamples - concealed_run_);
    const int faded = AlawDecode(source) * gain / static_cast<int>(kFadeSamples);
    out[i] = AlawEncode(static_cast<int16_t>(faded));
    ++concealed_run_;
  }
}

}  // namespace exchange
