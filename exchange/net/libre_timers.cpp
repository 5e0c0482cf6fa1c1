#include "exchange/net/libre_timers.h"

extern "C" {
#include <re.h>
}

namespace exchange {

namespace {

class LibreTimer : public Timer {
 public:
  LibreTimer() { tmr_init(&tmr_); }
  ~LibreTimer() override { tmr_cancel(&tmr_); }

  void Start(uint64_t delay_ms, std::function<void()> fire) override {
    fire_ = std::move(fire);
    // libre's clock counts whole milliseconds, so a timer started late in one would fire up to a millisecond
    // early. Delays are minimums here (the gap between two tags), hence the extra millisecond.
    tmr_start(&tmr_, delay_ms > 0 ? delay_ms + 1 : 0, &LibreTimer::Fire, this);
  }
  void Cancel() override {
    tmr_cancel(&tmr_);
    fire_ = nullptr;
  }
  bool pending() const override { return tmr_isrunning(&tmr_); }

 private:
  static void Fire(void* arg) {
    auto* self = static_cast<LibreTimer*>(arg);
    // The handler may destroy this timer or re-arm it: take the function out first.
    std::function<void()> fire = std::move(self->fire_);
    self->fire_ = nullptr;
    if (fire) fire();
  }

  struct tmr tmr_;
  std::function<void()> fire_;
};

}  // namespace

uint64_t LibreTimerSource::NowMs() const {
  return tmr_jiffies();
}

std::unique_ptr<Timer> LibreTimerSource::NewTimer() {
  return std::make_unique<LibreTimer>();
}

}  // namespace exchange
