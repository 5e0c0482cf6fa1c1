#include "exchange/call/sequence_tracker.h"

namespace exchange {

SequenceTracker::Verdict SequenceTracker::Record(int64_t sequence) {
  if (!started_) {
    started_ = true;
    newest_ = sequence;
    seen_ = 1;
    return Verdict::kNew;
  }
  if (sequence > newest_) {
    int64_t gap = sequence - newest_;
    if (gap <= kMaxCountedGap) lost_ += static_cast<uint64_t>(gap - 1);  // taken back if they turn up late
    seen_ = gap >= kWindow ? 1 : (seen_ << gap) | 1;
    newest_ = sequence;
    return Verdict::kNew;
  }
  int64_t behind = newest_ - sequence;
  if (behind < kWindow) {
    uint64_t bit = uint64_t{1} << behind;
    if (seen_ & bit) {
      ++duplicates_;
      return Verdict::kDuplicate;
    }
    seen_ |= bit;
    if (lost_ > 0) --lost_;
  }
  ++late_;
  return Verdict::kLate;
}

}  // namespace exchange
