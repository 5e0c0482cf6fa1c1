#include "exchange/media/jitter_estimate.h"

#include <gtest/gtest.h>

namespace exchange {
namespace {

TEST(JitterEstimate, EvenArrivalsHaveNoSpread) {
  JitterEstimate estimate(16, 4);
  EXPECT_TRUE(estimate.empty());
  for (int i = 0; i < 40; ++i)
    estimate.Add(500);
  EXPECT_FALSE(estimate.empty());
  EXPECT_EQ(estimate.base(), 500);
  EXPECT_EQ(estimate.spread(), 0);
}

TEST(JitterEstimate, SpreadIsAHighPercentileAboveTheLowestTransit) {
  JitterEstimate estimate(100, 10);
  // 100 arrivals: transits 1000 + 0..99 in a shuffled order.
  for (int i = 0; i < 100; ++i)
    estimate.Add(1000 + (i * 37) % 100);
  EXPECT_EQ(estimate.base(), 1000);
  EXPECT_EQ(estimate.spread(), 97);  // the 97th percentile ignores the two latest of a hundred
}

TEST(JitterEstimate, OldArrivalsLeaveTheWindow) {
  JitterEstimate estimate(20, 5);
  for (int i = 0; i < 20; ++i)
    estimate.Add(i % 2 ? 400 : 0);  // rough
  EXPECT_EQ(estimate.spread(), 400);
  for (int i = 0; i < 20; ++i)
    estimate.Add(100);  // calm, and a bit slower
  EXPECT_EQ(estimate.base(), 100) << "the base follows a path that became slower";
  EXPECT_EQ(estimate.spread(), 0);
}

TEST(JitterEstimate, AYoungWindowTakesItsLatestArrival) {
  JitterEstimate estimate(128, 8);
  estimate.Add(0);
  estimate.Add(250);
  estimate.Add(0);
  EXPECT_EQ(estimate.spread(), 250);
}

TEST(JitterEstimate, ALowerTransitMovesTheBaseAtOnce) {
  JitterEstimate estimate(64, 32);
  for (int i = 0; i < 40; ++i)
    estimate.Add(1000);
  estimate.Add(900);
  EXPECT_EQ(estimate.base(), 900);
  estimate.Clear();
  EXPECT_TRUE(estimate.empty());
  estimate.Add(7);
  EXPECT_EQ(estimate.base(), 7);
}

}  // namespace
}  // namespace exchange
