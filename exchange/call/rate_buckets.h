// Token buckets per source address: each address may do something so many times a minute, in bursts of up
// to that many. Pure bookkeeping with the time passed in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace exchange {

class RateBuckets {
 public:
  enum class Take {
    kTaken,
    kRefused,       // over the rate: the address's first refusal within a minute (worth a line)
    kRefusedAgain,  // over the rate again within that minute: not worth another line
  };

  explicit RateBuckets(int per_minute) : per_minute_(per_minute) {}
  void SetRate(int per_minute) { per_minute_ = per_minute; }

  Take TakeOne(uint32_t ip, uint64_t now_ms);
  size_t sources() const { return buckets_.size(); }

 private:
  struct Bucket {
    double tokens = 0;
    uint64_t updated_ms = 0;
    uint64_t refusal_said_ms = 0;  // 0: never
  };
  void ForgetFull(uint64_t now_ms);

  int per_minute_;
  std::unordered_map<uint32_t, Bucket> buckets_;
  uint64_t last_sweep_ms_ = 0;
};

}  // namespace exchange
