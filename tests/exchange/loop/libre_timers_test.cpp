#include "exchange/loop/libre_timers.h"
#include "tests/exchange/libre_loop.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace exchange {
namespace {

::testing::Environment* const libre_environment =
    ::testing::AddGlobalTestEnvironment(new exchange::testing::LibreEnvironment);
using exchange::testing::RunLoopFor;

TEST(LibreTimers, FireInDueOrderAndEqualTimesInTheOrderStarted) {
  LibreTimerSource timers;
  std::string fired;
  auto a = timers.NewTimer(), b = timers.NewTimer(), c = timers.NewTimer(), d = timers.NewTimer();
  c->Start(30, [&] { fired += 'c'; });
  a->Start(10, [&] { fired += 'a'; });
  d->Start(30, [&] { fired += 'd'; });
  b->Start(20, [&] { fired += 'b'; });
  EXPECT_TRUE(a->pending());
  RunLoopFor(80);
  EXPECT_EQ(fired, "abcd");
  EXPECT_FALSE(a->pending());
  EXPECT_EQ(timers.queued(), 0u);
}

TEST(LibreTimers, NoTimerFiresBeforeItsDelayAndEachFiresOnce) {
  LibreTimerSource timers;
  std::mt19937 rng(11);
  std::vector<std::unique_ptr<Timer>> all;
  std::vector<uint64_t> started(300), fired_at(300, 0), delay(300);
  std::vector<int> count(300, 0);
  for (size_t i = 0; i < 300; ++i) {
    all.push_back(timers.NewTimer());
    delay[i] = rng() % 60;
    started[i] = timers.NowMs();
    all[i]->Start(delay[i], [&, i] {
      ++count[i];
      fired_at[i] = timers.NowMs();
    });
  }
  RunLoopFor(150);
  for (size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(count[i], 1) << i;
    EXPECT_GE(fired_at[i], started[i] + delay[i]) << i;
  }
}

TEST(LibreTimers, CancellingOrRearmingReplacesWhatWasPending) {
  LibreTimerSource timers;
  std::string fired;
  auto a = timers.NewTimer(), b = timers.NewTimer();
  a->Start(10, [&] { fired += "a10"; });
  a->Start(30, [&] { fired += "a30"; });  // re-armed: only the second runs
  b->Start(5, [&] { fired += "b"; });
  b->Cancel();
  EXPECT_FALSE(b->pending());
  RunLoopFor(60);
  EXPECT_EQ(fired, "a30");
}

TEST(LibreTimers, FunctionsMayDestroyOrStartTimersIncludingTheirOwn) {
  LibreTimerSource timers;
  std::string fired;
  auto first = timers.NewTimer();
  auto victim = timers.NewTimer();
  std::unique_ptr<Timer> self = timers.NewTimer();
  first->Start(10, [&] {
    fired += "first ";
    victim.reset();
  });
  victim->Start(10, [&] { fired += "victim"; });  // due in the same pass, after `first`, which destroys it
  self->Start(10, [&] {
    fired += "self ";
    self.reset();
  });
  RunLoopFor(50);
  EXPECT_EQ(fired, "first self ");
  EXPECT_EQ(timers.queued(), 0u);
}

TEST(LibreTimers, ATimerRearmedAtOnceFromItsFunctionWaitsForTheNextTurnOfTheLoop) {
  LibreTimerSource timers;
  auto spinner = timers.NewTimer();
  int turns = 0;
  std::function<void()> again = [&] {
    ++turns;
    if (turns < 100000) spinner->Start(0, again);
  };
  spinner->Start(0, again);
  // A pass that ran what its own functions queued would never return; each turn runs it once instead, and
  // the loop's other timers (the limit) still get their turn.
  RunLoopFor(20);
  EXPECT_GT(turns, 1);
  EXPECT_LT(turns, 100000);
  spinner->Cancel();
}

}  // namespace
}  // namespace exchange
