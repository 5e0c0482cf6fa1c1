#include "voice/arrival_monitor.h"

#include <limits>

namespace pelvarine {

bool ArrivalMonitor::OnArrival(int64_t now_ms) {
  if (first_) {
    first_ = false;
    last_ms_ = now_ms;
    sum_ms_ = 0;
    count_ = 0;
    return false;
  }
  sum_ms_ += now_ms - last_ms_;
  last_ms_ = now_ms;
  if (count_ < std::numeric_limits<int32_t>::max()) ++count_;
  mean_ms_ = static_cast<int32_t>(sum_ms_ / count_);
  return count_ == kQualityIntervalCount && mean_ms_ > kQualityMeanThresholdMs;
}

}  // namespace pelvarine
