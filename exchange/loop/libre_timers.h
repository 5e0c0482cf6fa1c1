// Timers on libre's event loop for the call logic and the RTP clocks.
//
// libre keeps its timers in one sorted list, so starting one walks past every timer due later. Each call
// re-arms a 16 ms pacer and each SIP call a 20 ms RTP clock, while every call also holds long timers (its
// time limit, its far end's); with hundreds of calls that walk became most of the exchange's work. These
// timers live in a queue of their own (a timer wheel) behind a single libre timer armed for the earliest.
#pragma once

#include <cstdint>
#include <memory>

extern "C" {
#include <re.h>
}

#include "exchange/call/timers.h"
#include "exchange/loop/timer_wheel.h"

namespace exchange {

class LibreTimerSource : public TimerSource {
 public:
  LibreTimerSource();
  // Every timer made by this source must be gone first.
  ~LibreTimerSource() override;
  LibreTimerSource(const LibreTimerSource&) = delete;
  LibreTimerSource& operator=(const LibreTimerSource&) = delete;

  uint64_t NowMs() const override;
  std::unique_ptr<Timer> NewTimer() override;

  size_t queued() const { return queue_.size(); }

 private:
  class QueuedTimer;

  void Enqueue(TimerWheel::Entry& entry, uint64_t due);
  void Dequeue(TimerWheel::Entry& entry);
  void ArmFor(uint64_t due);
  static void OnTimer(void* arg);

  TimerWheel queue_;
  struct tmr tmr_;
  uint64_t armed_for_ = 0;  // the due time the libre timer is set for, 0 when it is not running
};

}  // namespace exchange
