#include "exchange/call/sequence_tracker.h"

namespace exchange {

SequenceTracker::Verdict SequenceTracker::Record(int64_t sequence) {
  if (!started_) {
    started_ = true;
    newest_ = counted_from_ = sequence;
    seen_ = 1;
    return Verdict::kNew;
  }
  if (sequence > newest_) {
    int64_t gap = sequence - newest_;
    if (gap <= kMaxCountedGap)
      lost_ += static_cast<uint64_t>(gap - 1);  // taken back if they turn up late
    else
      counted_from_ = sequence;
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
    if (sequence >= counted_from_ && lost_ > 0) --lost_;  // not for one from before the numbering began
  }
  ++late_;
  return Verdict::kLate;
}

uint64_t SequenceTracker::settled_lost() const {
  if (!started_) return 0;
  int64_t counted = newest_ - counted_from_ + 1;
  uint64_t in_window = counted >= kWindow ? ~uint64_t{0} : (uint64_t{1} << counted) - 1;
  auto still_open = static_cast<uint64_t>(__builtin_popcountll(~seen_ & in_window));
  return lost_ - still_open;
}

}  // namespace exchange
