#include "exchange/call/direct_number_guard.h"

#include <gtest/gtest.h>

namespace exchange {
namespace {

TEST(DirectNumberGuardTest, EachFailureBeyondTheFreeOnesDoublesTheWaitUpToItsCeiling) {
  DirectNumberGuard guard({2, 1000, 5000, 1000, 600000});
  struct Step {
    uint64_t locked_ms;  // after this failure
  };
  const Step steps[] = {{0}, {1000}, {2000}, {4000}, {5000}, {5000}};
  uint64_t now = 1000;
  for (const Step& step : steps) {
    guard.RecordFailure(7, now);
    EXPECT_EQ(guard.LockedForMs(7, now), step.locked_ms);
    now += step.locked_ms;  // the guesser waits each lockout out
    EXPECT_EQ(guard.LockedForMs(7, now), 0u);
  }
  guard.RecordSuccess(7);
  guard.RecordFailure(7, now);
  EXPECT_EQ(guard.LockedForMs(7, now), 0u) << "the right password starts the count afresh";
}

TEST(DirectNumberGuardTest, FailuresFromManyAddressesShutDirectNumbersForTheWindow) {
  DirectNumberGuard guard({3, 10000, 3600000, 5, 60000});
  for (uint32_t ip = 1; ip <= 5; ++ip)
    guard.RecordFailure(ip, 1000 + ip);
  EXPECT_EQ(guard.LockedForMs(99, 2000), 59001u) << "an address never seen is shut out too";
  EXPECT_EQ(guard.LockedForMs(99, 61001), 0u);
}

}  // namespace
}  // namespace exchange
