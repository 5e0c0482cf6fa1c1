// Counts what happened to the client's numbered datagrams: new, duplicated, late (arrived after a later
// one) and lost (never arrived). The client numbers its datagrams 1, 2, 3... and may send each twice.
#pragma once

#include <cstdint>

namespace exchange {

class SequenceTracker {
 public:
  enum class Verdict { kNew, kDuplicate, kLate };

  Verdict Record(int64_t sequence);

  uint64_t duplicates() const { return duplicates_; }
  uint64_t late() const { return late_; }
  uint64_t lost() const { return lost_; }
  // The losses no late arrival can take back any more (their gaps have left the window): unlike lost(),
  // it never goes down, so it can feed a counter while the call runs.
  uint64_t settled_lost() const;

 private:
  static constexpr int64_t kWindow = 64;  // sequences remembered behind the newest
  // A jump further ahead than this (a minute of datagrams) is a new numbering, not that many losses: two
  // forged datagrams must not add quadrillions to the loss counter.
  static constexpr int64_t kMaxCountedGap = 3750;

  bool started_ = false;
  int64_t newest_ = 0;
  int64_t counted_from_ = 0;  // the first sequence of the current numbering: gaps before it are not losses
  uint64_t seen_ = 0;         // bit i: newest_ - i has arrived
  uint64_t duplicates_ = 0;
  uint64_t late_ = 0;
  uint64_t lost_ = 0;
};

}  // namespace exchange
