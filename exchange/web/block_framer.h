// Cuts the browser's RTP audio (any packet length, 20 ms usually) into the 128-sample blocks a call takes
// from the Windows client, in timestamp order. Packets that come late or twice are dropped; a gap of up to a
// second is filled with A-law silence so the far end keeps its timing; a larger jump starts afresh.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "exchange/protocol/wire_formats.h"

namespace exchange {

class BlockFramer {
 public:
  using BlockHandler = std::function<void(long long sequence, const uint8_t* block)>;
  explicit BlockFramer(BlockHandler on_block) : on_block_(std::move(on_block)) {}

  void Push(uint32_t timestamp, const uint8_t* alaw, size_t size);

  uint64_t dropped_packets() const { return dropped_; }
  uint64_t filled_samples() const { return filled_; }

 private:
  void Append(const uint8_t* alaw, size_t size);
  void AppendSilence(size_t size);

  BlockHandler on_block_;
  bool started_ = false;
  uint32_t next_timestamp_ = 0;
  uint8_t block_[kVoiceSamples] = {};
  size_t filled_in_block_ = 0;
  long long sequence_ = 0;
  uint64_t dropped_ = 0;
  uint64_t filled_ = 0;
};

}  // namespace exchange
