#include "exchange/call/rate_buckets.h"

#include <algorithm>

namespace exchange {

namespace {
constexpr uint64_t kMinute = 60000;
}

RateBuckets::Take RateBuckets::TakeOne(uint32_t ip, uint64_t now_ms) {
  const double capacity = std::max(1, per_minute_);
  ForgetFull(now_ms);
  auto [it, fresh] = buckets_.try_emplace(ip);
  Bucket& b = it->second;
  if (fresh) {
    b.tokens = capacity;
  } else {
    // A full bucket refills over one minute.
    b.tokens = std::min(capacity, b.tokens + capacity * static_cast<double>(now_ms - b.updated_ms) / kMinute);
  }
  b.updated_ms = now_ms;
  if (b.tokens < 1.0) {
    if (b.refusal_said_ms != 0 && now_ms - b.refusal_said_ms < kMinute) return Take::kRefusedAgain;
    b.refusal_said_ms = now_ms;
    return Take::kRefused;
  }
  b.tokens -= 1.0;
  return Take::kTaken;
}

void RateBuckets::ForgetFull(uint64_t now_ms) {
  // A bucket untouched for a minute is full again: forgetting it changes nothing and bounds the memory a
  // sweep of many sources can take.
  if (now_ms - last_sweep_ms_ < kMinute) return;
  last_sweep_ms_ = now_ms;
  for (auto it = buckets_.begin(); it != buckets_.end();) {
    if (now_ms - it->second.updated_ms >= kMinute && now_ms - it->second.refusal_said_ms >= kMinute)
      it = buckets_.erase(it);
    else
      ++it;
  }
}

}  // namespace exchange
