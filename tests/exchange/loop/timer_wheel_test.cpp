// The timer queue on its own, with time passed in by hand: order, reach, removal and jumps in time.
#include "exchange/loop/timer_wheel.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace exchange {
namespace {

struct Named : TimerWheel::Entry {
  explicit Named(char n) : name(n) {}
  char name;
};

// Everything due at `now` that was added before the pass began, by name.
std::string Pass(TimerWheel& wheel, uint64_t now) {
  std::string out;
  const uint64_t before = wheel.added();
  while (TimerWheel::Entry* e = wheel.PopDue(now, before))
    out += static_cast<Named*>(e)->name;
  return out;
}

TEST(TimerWheel, DueOrderThenAddedOrderAcrossTheWheelsReach) {
  TimerWheel wheel;
  Named far_first('f'), near('n'), far_later('g'), soon('s');
  const uint64_t start = 5000;
  wheel.Add(far_first, start + 3000, start);  // beyond the wheel's reach when added
  wheel.Add(soon, start + 10, start);
  EXPECT_EQ(wheel.EarliestDue(), start + 10);
  EXPECT_EQ(Pass(wheel, start + 9), "");
  EXPECT_EQ(Pass(wheel, start + 10), "s");
  wheel.Add(far_later, start + 3000, start + 10);
  wheel.Add(near, start + 3000, start + 2500);  // within reach: straight into the wheel, after the far ones
  EXPECT_EQ(wheel.size(), 3u);
  EXPECT_EQ(Pass(wheel, start + 2999), "");
  EXPECT_EQ(Pass(wheel, start + 3000), "fgn");
  EXPECT_EQ(wheel.size(), 0u);
  EXPECT_FALSE(wheel.EarliestDue().has_value());
}

TEST(TimerWheel, APassLeavesWhatWasAddedDuringItAndTheWheelNeverRunsAhead) {
  TimerWheel wheel;
  Named a('a'), b('b'), c('c');
  wheel.Add(a, 100, 100);
  wheel.Add(b, 101, 100);
  const uint64_t before = wheel.added();
  EXPECT_EQ(wheel.PopDue(101, before), &a);
  wheel.Add(a, 101, 101);  // re-added during the pass, due at once: not this pass
  EXPECT_EQ(wheel.PopDue(101, before), &b);
  EXPECT_EQ(wheel.PopDue(101, before), nullptr);
  EXPECT_EQ(Pass(wheel, 101), "a");
  // Nothing was due at 101 any more; a timer added now for now must still come out now.
  wheel.Add(c, 101, 101);
  EXPECT_EQ(Pass(wheel, 101), "c");
}

TEST(TimerWheel, RemovingAndReAddingMoveAnEntry) {
  TimerWheel wheel;
  Named a('a'), b('b'), c('c');
  wheel.Add(a, 20, 0);
  wheel.Add(b, 20, 0);
  wheel.Add(c, 20, 0);
  wheel.Remove(b);
  wheel.Remove(b);  // twice is harmless
  EXPECT_FALSE(b.queued);
  wheel.Add(a, 30, 0);  // re-added while queued: moved, and now the latest
  wheel.Add(b, 5000, 0);
  wheel.Add(b, 30, 0);  // from the far map back into the wheel
  EXPECT_EQ(Pass(wheel, 40), "cab");
  EXPECT_EQ(wheel.size(), 0u);
}

// Random adds, removals and passes, with time moving in small steps and now and then in leaps of many
// turns of the wheel, against a plain ordered set of (due, order).
TEST(TimerWheel, MatchesAnOrderedSetUnderRandomUse) {
  std::mt19937 rng(7);
  TimerWheel wheel;
  std::vector<std::unique_ptr<Named>> entries;
  for (int i = 0; i < 200; ++i)
    entries.push_back(std::make_unique<Named>('x'));
  std::set<std::pair<uint64_t, uint64_t>> model;  // (due, order) of what is queued
  auto in_model = [&](const Named& e) { return std::make_pair(e.due, e.order); };

  uint64_t now = 1'000'000;
  for (int step = 0; step < 200000; ++step) {
    Named& e = *entries[rng() % entries.size()];
    switch (rng() % 8) {
      case 0:
      case 1:
      case 2: {
        if (e.queued) model.erase(in_model(e));
        const uint32_t kind = rng() % 10;
        const uint64_t delay = kind < 7 ? rng() % 40 : kind < 9 ? rng() % 3000 : rng() % 600000;
        wheel.Add(e, now + delay, now);
        ASSERT_EQ(e.due, now + delay);
        model.insert(in_model(e));
        break;
      }
      case 3:
        if (e.queued) model.erase(in_model(e));
        wheel.Remove(e);
        break;
      case 4:
      case 5:
      case 6: {
        now += rng() % 100 == 0 ? rng() % 700000 : rng() % 25;
        const uint64_t before = wheel.added();
        while (TimerWheel::Entry* popped = wheel.PopDue(now, before)) {
          ASSERT_FALSE(model.empty());
          ASSERT_EQ(std::make_pair(popped->due, popped->order), *model.begin());
          ASSERT_FALSE(popped->queued);
          model.erase(model.begin());
        }
        ASSERT_TRUE(model.empty() || model.begin()->first > now);
        break;
      }
      default:
        ASSERT_EQ(wheel.size(), model.size());
        if (model.empty()) {
          ASSERT_FALSE(wheel.EarliestDue().has_value());
        } else {
          ASSERT_EQ(wheel.EarliestDue(), model.begin()->first);
        }
    }
  }
}

}  // namespace
}  // namespace exchange
