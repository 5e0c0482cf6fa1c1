// How unevenly a stream's packets arrive. Each arrival contributes its transit: arrival time minus where
// the packet sits in the stream, both in samples. The lowest transit over a recent window is the path's
// delay with no queueing; how far above it the late arrivals reach is the spread a buffer must hold to
// play every packet. Both are taken over a sliding window, so a clock that runs a little fast or slow
// just moves the base along, and a calmer network lets the spread shrink once the rough patch has left
// the window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace exchange {

class JitterEstimate {
 public:
  // window: arrivals remembered; every `update_every` arrivals the spread is recomputed.
  explicit JitterEstimate(size_t window = 128, size_t update_every = 8);

  void Add(int64_t transit);
  void Clear();

  bool empty() const { return count_ == 0; }
  // Lowest transit in the window (lowered at once by every arrival, raised only when recomputed).
  int64_t base() const { return base_; }
  // The 97th percentile of transit above base.
  int64_t spread() const { return spread_; }
  // Lowest transit among the latest arrivals only: where the path is now. A sender whose clock runs slow
  // shows up here long before the old minimum leaves the window.
  int64_t recent_base() const { return recent_base_; }

 private:
  void Recompute();

  std::vector<int64_t> window_;
  std::vector<int64_t> scratch_;
  size_t update_every_;
  size_t next_ = 0;
  size_t count_ = 0;
  size_t since_update_ = 0;
  int64_t base_ = 0;
  int64_t spread_ = 0;
  int64_t recent_base_ = 0;
};

}  // namespace exchange
