#include "exchange/call/direct_number_guard.h"

#include <algorithm>

namespace exchange {

uint64_t DirectNumberGuard::LockedForMs(uint32_t ip, uint64_t now_ms) const {
  uint64_t locked = 0;
  if (window_failures_ >= budget_.failures_per_window && now_ms < window_start_ms_ + budget_.window_ms)
    locked = window_start_ms_ + budget_.window_ms - now_ms;
  auto it = sources_.find(ip);
  if (it != sources_.end() && it->second.locked_until_ms > now_ms)
    locked = std::max(locked, it->second.locked_until_ms - now_ms);
  return locked;
}

void DirectNumberGuard::RecordFailure(uint32_t ip, uint64_t now_ms) {
  Forget(now_ms);
  if (window_failures_ == 0 || now_ms >= window_start_ms_ + budget_.window_ms) {
    window_start_ms_ = now_ms;
    window_failures_ = 0;
  }
  ++window_failures_;
  Source& s = sources_[ip];
  ++s.failures;
  s.last_failure_ms = now_ms;
  int over = s.failures - budget_.free_failures_per_source + 1;
  if (over <= 0) return;
  uint64_t wait = budget_.first_lockout_ms;
  for (int i = 1; i < over && wait < budget_.max_lockout_ms; ++i)
    wait *= 2;
  s.locked_until_ms = now_ms + std::min(wait, budget_.max_lockout_ms);
}

void DirectNumberGuard::RecordSuccess(uint32_t ip) {
  sources_.erase(ip);
}

void DirectNumberGuard::Forget(uint64_t now_ms) {
  // A source quiet for the longest lockout starts afresh; this bounds the memory a sweep of addresses takes.
  if (now_ms - last_sweep_ms_ < budget_.window_ms) return;
  last_sweep_ms_ = now_ms;
  for (auto it = sources_.begin(); it != sources_.end();) {
    const Source& s = it->second;
    if (now_ms >= s.locked_until_ms && now_ms - s.last_failure_ms >= budget_.max_lockout_ms)
      it = sources_.erase(it);
    else
      ++it;
  }
}

}  // namespace exchange
