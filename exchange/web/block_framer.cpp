#include "exchange/web/block_framer.h"

#include <algorithm>
#include <cstring>

namespace exchange {

namespace {

constexpr uint32_t kMaxFillSamples = 8000;  // one second
constexpr uint8_t kAlawSilence = 0xD5;

}  // namespace

void BlockFramer::Push(uint32_t timestamp, const uint8_t* alaw, size_t size) {
  if (size == 0) return;
  if (started_) {
    // Distance in the timestamp's modular arithmetic: negative for a packet older than expected.
    auto ahead = static_cast<int32_t>(timestamp - next_timestamp_);
    if (ahead < 0) {
      ++dropped_;
      return;
    }
    if (static_cast<uint32_t>(ahead) <= kMaxFillSamples) AppendSilence(static_cast<size_t>(ahead));
  }
  started_ = true;
  next_timestamp_ = timestamp + static_cast<uint32_t>(size);
  Append(alaw, size);
}

void BlockFramer::AppendSilence(size_t size) {
  filled_ += size;
  while (size > 0) {
    size_t take = std::min(size, kVoiceSamples - filled_in_block_);
    std::memset(block_ + filled_in_block_, kAlawSilence, take);
    filled_in_block_ += take;
    size -= take;
    if (filled_in_block_ == kVoiceSamples) {
      filled_in_block_ = 0;
      on_block_(++sequence_, block_);
    }
  }
}

void BlockFramer::Append(const uint8_t* alaw, size_t size) {
  while (size > 0) {
    size_t take = std::min(size, kVoiceSamples - filled_in_block_);
    std::memcpy(block_ + filled_in_block_, alaw, take);
    filled_in_block_ += take;
    alaw += take;
    size -= take;
    if (filled_in_block_ == kVoiceSamples) {
      filled_in_block_ = 0;
      on_block_(++sequence_, block_);
    }
  }
}

}  // namespace exchange
