// The queue behind the exchange's timers: entries due in whole milliseconds, taken out in due order and, at
// equal times, in the order they were added.
//
// Nearly every timer the exchange starts is a few tens of milliseconds away (a call's 16 ms pacer, a SIP
// call's 20 ms RTP clock) and is started again each time it fires, hundreds of times per second per call.
// Those go into a wheel of one slot per millisecond, so adding, removing and taking one out costs the same
// however many are queued; the few that are due later (a call's time limit, a far end's ring limit) wait in
// an ordered map until they come within the wheel's reach.
//
// No clock of its own: the owner passes the time in, so every behaviour can be replayed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>

namespace exchange {

class TimerWheel {
 public:
  // What the wheel keeps of a queued timer; the owner's timer embeds it (derives from it).
  struct Entry {
    uint64_t due = 0;
    uint64_t order = 0;  // the count of entries added before it
    bool queued = false;

   private:
    friend class TimerWheel;
    Entry* prev = nullptr;  // neighbours in its slot while it is in the wheel
    Entry* next = nullptr;
    bool far = false;  // waiting in the map instead
    std::multimap<uint64_t, Entry*>::iterator far_at;
  };

  static constexpr uint64_t kSlots = 1024;  // milliseconds within the wheel's reach

  TimerWheel() = default;
  TimerWheel(const TimerWheel&) = delete;
  TimerWheel& operator=(const TimerWheel&) = delete;

  // Queues `entry` (taking it out first if it is queued) to be due at `due`, never before `now`.
  void Add(Entry& entry, uint64_t due, uint64_t now);
  void Remove(Entry& entry);

  // Takes out the first entry due at or before `now`, provided it was added before the `added_before`-th
  // entry (an owner firing timers in passes leaves those added during a pass for the next one); null when
  // there is none.
  Entry* PopDue(uint64_t now, uint64_t added_before);

  // When the first queued entry is due, if any is.
  std::optional<uint64_t> EarliestDue() const;

  uint64_t added() const { return added_; }
  size_t size() const { return in_wheel_ + far_.size(); }

 private:
  struct Slot {
    Entry* head = nullptr;
    Entry* tail = nullptr;
  };

  Slot& SlotFor(uint64_t due) { return slots_[due & (kSlots - 1)]; }
  const Slot& SlotFor(uint64_t due) const { return slots_[due & (kSlots - 1)]; }
  void Link(Entry& entry);
  void Unlink(Entry& entry);
  void MoveWithinReach();

  std::array<Slot, kSlots> slots_{};
  std::multimap<uint64_t, Entry*> far_;  // due at base_ + kSlots or later
  uint64_t base_ = 0;                    // no entry in the wheel is due before it; never ahead of the time
  size_t in_wheel_ = 0;
  uint64_t added_ = 0;
};

}  // namespace exchange
