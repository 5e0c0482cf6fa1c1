// A clock advanced by hand: timers fire in due order as Advance() passes their time.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "exchange/call/timers.h"

namespace exchange::testing {

class ManualTimers : public TimerSource {
 public:
  uint64_t NowMs() const override { return now_; }
  std::unique_ptr<Timer> NewTimer() override { return std::make_unique<ManualTimer>(this); }
  size_t live_timers() const { return timers_.size(); }

  // Moves time forward, firing every timer that falls due, in order.
  void Advance(uint64_t ms) {
    uint64_t end = now_ + ms;
    for (;;) {
      ManualTimer* next = nullptr;
      for (ManualTimer* t : timers_) {
        if (t->armed_ && t->due_ <= end && (next == nullptr || t->due_ < next->due_)) next = t;
      }
      if (next == nullptr) break;
      now_ = std::max(now_, next->due_);
      next->armed_ = false;
      std::function<void()> fire = std::move(next->fire_);
      fire();
    }
    now_ = end;
  }

 private:
  class ManualTimer : public Timer {
   public:
    explicit ManualTimer(ManualTimers* owner) : owner_(owner) { owner_->timers_.push_back(this); }
    ~ManualTimer() override {
      auto& v = owner_->timers_;
      v.erase(std::remove(v.begin(), v.end(), this), v.end());
    }
    void Start(uint64_t delay_ms, std::function<void()> fire) override {
      due_ = owner_->now_ + delay_ms;
      fire_ = std::move(fire);
      armed_ = true;
    }
    void Cancel() override {
      armed_ = false;
      fire_ = nullptr;  // drops what the callback holds, as a real timer would
    }
    bool pending() const override { return armed_; }

    ManualTimers* owner_;
    uint64_t due_ = 0;
    bool armed_ = false;
    std::function<void()> fire_;
    friend class ManualTimers;
  };

  uint64_t now_ = 1000;
  std::vector<ManualTimer*> timers_;
};

}  // namespace exchange::testing
