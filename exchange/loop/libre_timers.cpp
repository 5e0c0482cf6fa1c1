#include "exchange/loop/libre_timers.h"

#include <functional>
#include <utility>

namespace exchange {

class LibreTimerSource::QueuedTimer : public Timer, public TimerWheel::Entry {
 public:
  explicit QueuedTimer(LibreTimerSource& source) : source_(source) {}
  ~QueuedTimer() override { Cancel(); }

  void Start(uint64_t delay_ms, std::function<void()> fire) override {
    fire_ = std::move(fire);
    // libre's clock counts whole milliseconds, so a timer started late in one would fire up to a millisecond
    // early. Delays are minimums here (the gap between two tags), hence the extra millisecond.
    source_.Enqueue(*this, source_.NowMs() + (delay_ms > 0 ? delay_ms + 1 : 0));
  }
  void Cancel() override {
    source_.Dequeue(*this);
    fire_ = nullptr;
  }
  bool pending() const override { return queued; }

  // Called by the source once the timer is out of the queue; the timer may be destroyed or re-armed by
  // its own function.
  void Fire() {
    std::function<void()> fire = std::move(fire_);
    fire_ = nullptr;
    if (fire) fire();
  }

 private:
  LibreTimerSource& source_;
  std::function<void()> fire_;
};

LibreTimerSource::LibreTimerSource() {
  tmr_init(&tmr_);
}

LibreTimerSource::~LibreTimerSource() {
  tmr_cancel(&tmr_);
}

uint64_t LibreTimerSource::NowMs() const {
  return tmr_jiffies();
}

std::unique_ptr<Timer> LibreTimerSource::NewTimer() {
  return std::make_unique<QueuedTimer>(*this);
}

void LibreTimerSource::Enqueue(TimerWheel::Entry& entry, uint64_t due) {
  queue_.Add(entry, due, NowMs());
  // Outside a pass the libre timer is unset only when the queue was empty, so the new entry is the earliest
  // whenever it comes before the set time; inside a pass the pass's own re-arm corrects it at the end.
  if (armed_for_ == 0 || entry.due < armed_for_) ArmFor(entry.due);
}

void LibreTimerSource::Dequeue(TimerWheel::Entry& entry) {
  // The libre timer stays set for an earlier time, if it was: firing with nothing due costs one wake-up.
  queue_.Remove(entry);
  if (queue_.size() == 0) {
    tmr_cancel(&tmr_);
    armed_for_ = 0;
  }
}

void LibreTimerSource::ArmFor(uint64_t due) {
  const uint64_t now = NowMs();
  tmr_start(&tmr_, due > now ? due - now : 0, &LibreTimerSource::OnTimer, this);
  armed_for_ = due > now ? due : now;
}

void LibreTimerSource::OnTimer(void* arg) {
  auto* self = static_cast<LibreTimerSource*>(arg);
  self->armed_for_ = 0;
  const uint64_t now = self->NowMs();
  // Only what was queued before this pass: a timer its own function re-arms at once runs on the next turn
  // of the loop, after the sockets have had theirs. Functions may start, cancel and destroy any timer.
  const uint64_t added_before = self->queue_.added();
  while (TimerWheel::Entry* due = self->queue_.PopDue(now, added_before)) {
    static_cast<QueuedTimer*>(due)->Fire();
  }
  if (std::optional<uint64_t> earliest = self->queue_.EarliestDue()) self->ArmFor(*earliest);
}

}  // namespace exchange
