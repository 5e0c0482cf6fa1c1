#include "exchange/loop/timer_wheel.h"

#include <algorithm>

namespace exchange {

void TimerWheel::Add(Entry& entry, uint64_t due, uint64_t now) {
  Remove(entry);
  if (in_wheel_ == 0 && base_ < now) {
    // Nothing in the wheel: it may move up to the present at once instead of stepping through empty slots.
    base_ = now;
    MoveWithinReach();
  }
  entry.due = std::max(due, base_);
  entry.order = added_++;
  entry.queued = true;
  if (entry.due - base_ < kSlots) {
    Link(entry);
  } else {
    entry.far = true;
    entry.far_at = far_.emplace(entry.due, &entry);
  }
}

void TimerWheel::Remove(Entry& entry) {
  if (!entry.queued) return;
  if (entry.far) {
    far_.erase(entry.far_at);
    entry.far = false;
  } else {
    Unlink(entry);
  }
  entry.queued = false;
}

TimerWheel::Entry* TimerWheel::PopDue(uint64_t now, uint64_t added_before) {
  for (;;) {
    if (in_wheel_ == 0) {
      // Skip the empty stretch up to the first far entry, if it is due (it is kSlots or more past base_).
      if (far_.empty() || far_.begin()->first > now) return nullptr;
      base_ = std::max(base_, far_.begin()->first + 1 - kSlots);
      MoveWithinReach();
      continue;
    }
    if (base_ > now) return nullptr;
    Slot& slot = SlotFor(base_);
    if (slot.head != nullptr) {
      Entry* first = slot.head;
      if (first->order >= added_before) return nullptr;
      Unlink(*first);
      first->queued = false;
      return first;
    }
    if (base_ == now) return nullptr;  // the wheel never runs ahead of the time: a timer may yet be due now
    ++base_;
    MoveWithinReach();
  }
}

std::optional<uint64_t> TimerWheel::EarliestDue() const {
  if (in_wheel_ > 0) {
    for (uint64_t due = base_;; ++due) {
      if (SlotFor(due).head != nullptr) return due;
    }
  }
  if (far_.empty()) return std::nullopt;
  return far_.begin()->first;
}

void TimerWheel::Link(Entry& entry) {
  // Slots are kept in the order entries were added. A new entry is the latest; one moving in from the map
  // is older than most and goes in from the back to its place.
  Slot& slot = SlotFor(entry.due);
  Entry* after = slot.tail;
  while (after != nullptr && after->order > entry.order)
    after = after->prev;
  entry.prev = after;
  entry.next = after != nullptr ? after->next : slot.head;
  (entry.next != nullptr ? entry.next->prev : slot.tail) = &entry;
  (after != nullptr ? after->next : slot.head) = &entry;
  ++in_wheel_;
}

void TimerWheel::Unlink(Entry& entry) {
  Slot& slot = SlotFor(entry.due);
  (entry.prev != nullptr ? entry.prev->next : slot.head) = entry.next;
  (entry.next != nullptr ? entry.next->prev : slot.tail) = entry.prev;
  entry.prev = entry.next = nullptr;
  --in_wheel_;
}

void TimerWheel::MoveWithinReach() {
  while (!far_.empty() && far_.begin()->first - base_ < kSlots) {
    Entry& entry = *far_.begin()->second;
    far_.erase(far_.begin());
    entry.far = false;
    Link(entry);
  }
}

}  // namespace exchange
