#include "exchange/loop/libre_timers.h"

#include <functional>
#include <utility>

namespace exchange {

class LibreTimerSource::QueuedTimer : public Timer {
 public:
  explicit QueuedTimer(LibreTimerSource& source) : source_(source) {}
  ~QueuedTimer() override { Cancel(); }

  void Start(uint64_t delay_ms, std::function<void()> fire) override {
    Cancel();
    fire_ = std::move(fire);
    // libre's clock counts whole milliseconds, so a timer started late in one would fire up to a millisecond
    // early. Delays are minimums here (the gap between two tags), hence the extra millisecond.
    at_ = source_.Enqueue(source_.NowMs() + (delay_ms > 0 ? delay_ms + 1 : 0), this);
    queued_ = true;
  }
  void Cancel() override {
    if (queued_) source_.Dequeue(at_);
    queued_ = false;
    fire_ = nullptr;
  }
  bool pending() const override { return queued_; }

  // Called by the source once the timer is out of the queue; the timer may be destroyed or re-armed by
  // its own function.
  void Fire() {
    queued_ = false;
    std::function<void()> fire = std::move(fire_);
    fire_ = nullptr;
    if (fire) fire();
  }

 private:
  LibreTimerSource& source_;
  Queue::iterator at_;
  bool queued_ = false;
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

LibreTimerSource::Queue::iterator LibreTimerSource::Enqueue(uint64_t due, QueuedTimer* timer) {
  Queue::iterator at = queue_.emplace(due, Entry{timer, started_++});
  if (at == queue_.begin()) Arm();
  return at;
}

void LibreTimerSource::Dequeue(Queue::iterator at) {
  // The libre timer stays set for an earlier time, if it was: firing with nothing due costs one wake-up.
  queue_.erase(at);
  if (queue_.empty()) {
    tmr_cancel(&tmr_);
    armed_for_ = 0;
  }
}

void LibreTimerSource::Arm() {
  if (queue_.empty()) return;
  const uint64_t due = queue_.begin()->first;
  if (armed_for_ != 0 && armed_for_ <= due) return;
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
  const uint64_t started_before = self->started_;
  while (!self->queue_.empty()) {
    Queue::iterator first = self->queue_.begin();
    if (first->first > now || first->second.order >= started_before) break;
    QueuedTimer* timer = first->second.timer;
    self->queue_.erase(first);
    timer->Fire();
  }
  self->Arm();
}

}  // namespace exchange
