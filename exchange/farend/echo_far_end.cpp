// The echo: every block the client sends comes back, in order, `delay` later. Duplicates and blocks older
// than the last one queued are dropped, so the visitor hears each moment of their voice once.
#include <array>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "exchange/farend/builtin_far_ends.h"

namespace exchange {

namespace {

constexpr int kMaxDelayMs = 2000;
constexpr int kBlockMs = 16;
constexpr size_t kMaxQueuedBlocks = (kMaxDelayMs / kBlockMs) * 2;

class EchoFarEnd : public FarEnd {
 public:
  EchoFarEnd(int delay_ms, FarEndListener& listener)
      : hold_blocks_(static_cast<size_t>(delay_ms / kBlockMs)), listener_(listener) {}

  void Start() override { listener_.OnFarEndAnswered(); }

  void OnClientVoice(int64_t sequence, const uint8_t* block) override {
    if (sequence <= last_sequence_) return;
    last_sequence_ = sequence;
    if (queue_.size() >= kMaxQueuedBlocks) queue_.pop_front();
    std::array<uint8_t, kBlockSamples> copy;
    std::memcpy(copy.data(), block, kBlockSamples);
    queue_.push_back(copy);
  }

  bool ReadBlock(uint8_t* block) override {
    // Hold back `hold_blocks_` blocks once talking starts, then play one per tick.
    if (!playing_) {
      if (queue_.size() <= hold_blocks_) return false;
      playing_ = true;
    }
    if (queue_.empty()) {
      playing_ = false;
      return false;
    }
    std::memcpy(block, queue_.front().data(), kBlockSamples);
    queue_.pop_front();
    return true;
  }

 private:
  size_t hold_blocks_;
  FarEndListener& listener_;
  int64_t last_sequence_ = INT64_MIN;
  bool playing_ = false;
  std::deque<std::array<uint8_t, kBlockSamples>> queue_;
};

class EchoFactory : public FarEndFactory {
 public:
  explicit EchoFactory(int default_delay_ms) : default_delay_ms_(default_delay_ms) {}

  std::string CheckTarget(std::string_view target) const override {
    int delay = 0;
    return ParseDelay(target, &delay) ? "" : "an echo's target is its delay in ms, 0 to 2000";
  }

  std::unique_ptr<FarEnd> Create(const FarEndRequest& request, FarEndListener& listener) override {
    int delay = default_delay_ms_;
    ParseDelay(request.target, &delay);
    return std::make_unique<EchoFarEnd>(delay, listener);
  }

 private:
  bool ParseDelay(std::string_view target, int* delay) const {
    if (target.empty()) {
      *delay = default_delay_ms_;
      return true;
    }
    if (target.size() > 4) return false;
    int value = 0;
    for (char c : target) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    if (value > kMaxDelayMs) return false;
    *delay = value;
    return true;
  }

  int default_delay_ms_;
};

}  // namespace

std::unique_ptr<FarEndFactory> MakeEchoFarEndFactory(int default_delay_ms) {
  return std::make_unique<EchoFactory>(default_delay_ms);
}

}  // namespace exchange
