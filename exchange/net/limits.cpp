#include "exchange/net/limits.h"

#include <algorithm>

namespace exchange {

namespace {
constexpr uint64_t kMinute = 60000;
}

bool SourceLimits::OpenConnection(uint32_t ip) {
  if (open_ >= limits_.max_connections || (ceiling_ > 0 && open_ >= ceiling_)) return false;
  int& count = per_source_[ip];
  if (count >= limits_.connections_per_source) {
    if (count == 0) per_source_.erase(ip);
    return false;
  }
  ++count;
  ++open_;
  return true;
}

void SourceLimits::CloseConnection(uint32_t ip) {
  auto it = per_source_.find(ip);
  if (it == per_source_.end()) return;
  if (--it->second <= 0) per_source_.erase(it);
  if (open_ > 0) --open_;
}

bool SourceLimits::TakeQuery(uint32_t ip, uint64_t now_ms) {
  const double capacity = std::max(1, limits_.queries_per_source_per_minute);
  ForgetIdleBuckets(now_ms);
  auto [it, fresh] = buckets_.try_emplace(ip);
  Bucket& b = it->second;
  if (fresh) {
    b.tokens = capacity;
  } else {
    // A full bucket refills over one minute.
    b.tokens = std::min(capacity, b.tokens + capacity * static_cast<double>(now_ms - b.updated_ms) / kMinute);
  }
  b.updated_ms = now_ms;
  if (b.tokens < 1.0) return false;
  b.tokens -= 1.0;
  return true;
}

void SourceLimits::ForgetIdleBuckets(uint64_t now_ms) {
  // A bucket untouched for a minute is full again: forgetting it changes nothing and bounds the memory a
  // sweep of many sources can take.
  if (now_ms - last_sweep_ms_ < kMinute) return;
  last_sweep_ms_ = now_ms;
  for (auto it = buckets_.begin(); it != buckets_.end();) {
    if (now_ms - it->second.updated_ms >= kMinute)
      it = buckets_.erase(it);
    else
      ++it;
  }
}

}  // namespace exchange
