// The delay a buffer adds, as a listener hears it: every unit of voice (a client block, an RTP packet) is
// filled with one code of its own, and the time its last sample leaves is set against the time the unit
// arrived. Units cut short (dropped, or covered because they came late) have no delay and are counted apart.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace exchange::testing {

// Unit k's code: loud while talking, quiet (A-law's lowest segment, never silence itself) in pauses, so the
// buffers may treat pauses as pauses. Codes repeat every 128 loud or 30 quiet units: far more than a buffer
// ever queues.
class TaggedVoice {
 public:
  // pause_units 0: talking throughout.
  explicit TaggedVoice(int talk_units = 1, int pause_units = 0) : talk_(talk_units), pause_(pause_units) {}

  bool Quiet(int64_t unit) const { return pause_ > 0 && unit % (talk_ + pause_) >= talk_; }
  uint8_t Code(int64_t unit) const {
    if (Quiet(unit)) return static_cast<uint8_t>((1 + unit % 15) | (unit / 15 % 2) << 7) ^ 0x55;
    const int64_t i = unit * 37 % 128;  // neighbours far apart, so a fading repeat is unlike the next unit
    return static_cast<uint8_t>(((4 + i % 4) << 4 | i / 4 % 16 | (i / 64) << 7) ^ 0x55);
  }

 private:
  int talk_;
  int pause_;
};

class DelayTracker {
 public:
  DelayTracker(const TaggedVoice& voice, size_t unit_samples) : voice_(voice), unit_samples_(unit_samples) {}

  // Only units arriving from `from_us` on are measured (the start-up is not what a call sounds like).
  void MeasureFrom(int64_t from_us) { from_us_ = from_us; }

  // The unit's first arrival (a duplicate changes nothing).
  void Arrived(int64_t unit, int64_t at_us) {
    Entry& entry = arrivals_[static_cast<size_t>(unit) % arrivals_.size()];
    if (entry.unit == unit) return;
    entry = {unit, at_us};
    if (unit > newest_) newest_ = unit;
  }

  // Samples leaving toward the listener at `at_us`.
  void Sent(const uint8_t* samples, size_t count, int64_t at_us) {
    for (size_t i = 0; i < count; ++i) {
      const int64_t unit = Find(samples[i]);
      if (unit < 0) continue;  // made up, or a repeat of what was played
      if (unit > next_) {
        cut_ += static_cast<uint64_t>(unit - next_);
        next_ = unit;
        heard_ = 0;
      }
      if (++heard_ < unit_samples_) continue;
      const Entry& entry = arrivals_[static_cast<size_t>(unit) % arrivals_.size()];
      if (entry.at_us >= from_us_) delays_us_.push_back(at_us - entry.at_us);
      ++whole_;
      next_ = unit + 1;
      heard_ = 0;
    }
  }

  const std::vector<int64_t>& delays_us() const { return delays_us_; }
  uint64_t whole() const { return whole_; }
  uint64_t cut() const { return cut_; }

 private:
  struct Entry {
    int64_t unit = -1;
    int64_t at_us = 0;
  };

  // The unit a sample belongs to: the first from the one being played on that has arrived and has its code.
  int64_t Find(uint8_t sample) const {
    for (int64_t unit = next_; unit <= newest_ && unit < next_ + 30; ++unit) {
      if (arrivals_[static_cast<size_t>(unit) % arrivals_.size()].unit == unit && voice_.Code(unit) == sample)
        return unit;
    }
    return -1;
  }

  const TaggedVoice& voice_;
  size_t unit_samples_;
  std::array<Entry, 256> arrivals_{};
  int64_t newest_ = -1;
  int64_t next_ = 0;
  size_t heard_ = 0;
  int64_t from_us_ = 0;
  uint64_t whole_ = 0;
  uint64_t cut_ = 0;
  std::vector<int64_t> delays_us_;
};

}  // namespace exchange::testing
