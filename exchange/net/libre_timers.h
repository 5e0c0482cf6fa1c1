// The call logic's timers on libre's event loop.
#pragma once

#include "exchange/call/timers.h"

namespace exchange {

class LibreTimerSource : public TimerSource {
 public:
  uint64_t NowMs() const override;
  std::unique_ptr<Timer> NewTimer() override;
};

}  // namespace exchange
