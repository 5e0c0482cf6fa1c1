// Time as the call logic sees it: a millisecond clock and one-shot timers. The event loop implements them
// with libre's timers; tests with a clock they advance by hand.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace exchange {

class Timer {
 public:
  virtual ~Timer() = default;
  // (Re)arms the timer: `fire` runs once, `delay_ms` from now, unless cancelled or re-armed first. The timer
  // may be destroyed from inside `fire`.
  virtual void Start(uint64_t delay_ms, std::function<void()> fire) = 0;
  virtual void Cancel() = 0;
  virtual bool pending() const = 0;
};

class TimerSource {
 public:
  virtual ~TimerSource() = default;
  virtual uint64_t NowMs() const = 0;  // monotonic
  virtual std::unique_ptr<Timer> NewTimer() = 0;
};

}  // namespace exchange
