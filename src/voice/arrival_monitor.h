#pragma once
// Watches how evenly the far end's datagrams arrive: the mean interval over the first 200 intervals of a
// call decides whether the phone server is asked for better quality. Intervals come from a monotonic
// millisecond clock, so neither a minute boundary nor a long gap distorts them.

#include <cstdint>

namespace pelvarine {

constexpr int kQualityIntervalCount = 200;
constexpr int32_t kQualityMeanThresholdMs = 16;  // a mean above this asks for better quality

class ArrivalMonitor {
 public:
  // The next arrival only starts the measurement.
  void Restart() { first_ = true; }

  // Counts one arrival at `now_ms`. True exactly when this arrival completes the 200th interval and the
  // mean interval then exceeds the threshold.
  bool OnArrival(int64_t now_ms);

  int32_t count() const { return count_; }
  int32_t mean_ms() const { return mean_ms_; }

 private:
  bool first_ = true;
  int64_t last_ms_ = 0;
  int64_t sum_ms_ = 0;
  int32_t count_ = 0;
  int32_t mean_ms_ = 0;
};

}  // namespace pelvarine
