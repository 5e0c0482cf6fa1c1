#include "exchange/media/jitter_estimate.h"

#include <algorithm>

namespace exchange {

JitterEstimate::JitterEstimate(size_t window, size_t update_every)
    : window_(window < 1 ? 1 : window),
      scratch_(window_.size()),
      update_every_(update_every < 1 ? 1 : update_every) {}

void JitterEstimate::Clear() {
  next_ = 0;
  count_ = 0;
  since_update_ = 0;
  base_ = 0;
  spread_ = 0;
  recent_base_ = 0;
}

void JitterEstimate::Add(int64_t transit) {
  window_[next_] = transit;
  next_ = (next_ + 1) % window_.size();
  if (count_ < window_.size()) ++count_;
  base_ = count_ == 1 ? transit : std::min(base_, transit);
  recent_base_ = count_ == 1 ? transit : std::min(recent_base_, transit);
  // While the window is young every arrival refines the estimate; later, a periodic update is plenty.
  if (++since_update_ >= update_every_ || count_ <= update_every_) Recompute();
}

void JitterEstimate::Recompute() {
  since_update_ = 0;
  const size_t recent = std::min(count_, std::max<size_t>(window_.size() / 4, 1));
  recent_base_ = window_[(next_ + window_.size() - 1) % window_.size()];
  for (size_t i = 1; i <= recent; ++i) {
    recent_base_ = std::min(recent_base_, window_[(next_ + window_.size() - i) % window_.size()]);
  }
  std::copy(window_.begin(), window_.begin() + static_cast<std::ptrdiff_t>(count_), scratch_.begin());
  const auto begin = scratch_.begin();
  const auto end = begin + static_cast<std::ptrdiff_t>(count_);
  base_ = *std::min_element(begin, end);
  // The 97th percentile; a young window has too few arrivals to ignore any, and uses its latest.
  const size_t last = count_ - 1;
  const auto high = begin + static_cast<std::ptrdiff_t>(last - last * 3 / 100);
  std::nth_element(begin, high, end);
  spread_ = *high - base_;
}

}  // namespace exchange
