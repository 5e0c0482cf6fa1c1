#include <gtest/gtest.h>

#include "exchange/call/dial_plan.h"
#include "exchange/call/sequence_tracker.h"
#include "exchange/net/limits.h"

namespace exchange {
namespace {

// ---- Dial plan ----

TEST(DialPlan, OnlyConfiguredExtensionsAreReachable) {
  DialPlan plan;
  plan.AddExtension("3381", {"sip", "3381,3382"});
  DialDecision ok = plan.Resolve("3381");
  EXPECT_TRUE(ok.accepted);
  EXPECT_EQ(ok.route.far_end, "sip");
  EXPECT_EQ(ok.route.target, "3381,3382");
  for (const char* dial : {"", "338", "33811", " 3381", "3381 ", "00861234567", "3381#x#"})
    EXPECT_FALSE(plan.Resolve(dial).accepted) << '"' << dial << '"';
}

TEST(DialPlan, DirectNumbersAreClosedUntilAPasswordIsConfigured) {
  DialPlan plan;
  EXPECT_TRUE(plan.empty());
  DialDecision d = plan.Resolve("01234567#anything#");
  EXPECT_FALSE(d.accepted);
  // The client sends an empty password as one space: that must not match an unset password either.
  EXPECT_FALSE(plan.Resolve("01234567# #").accepted);
}

TEST(DialPlan, DirectNumberRules) {
  DialPlan plan;
  plan.AllowDirectNumbers("s3cret", "0, 139", {"sip", ""});
  DialDecision ok = plan.Resolve("01234567#s3cret#");
  ASSERT_TRUE(ok.accepted);
  EXPECT_EQ(ok.route.target, "01234567");
  EXPECT_TRUE(plan.Resolve("13912345678#s3cret#").accepted);
  EXPECT_FALSE(plan.Resolve("21234567#s3cret#").accepted) << "prefix not allowed";
  EXPECT_FALSE(plan.Resolve("01234567#s3cre#").accepted);
  EXPECT_FALSE(plan.Resolve("01234567#s3cret!#").accepted);
  EXPECT_FALSE(plan.Resolve("01234567#s3cret").accepted) << "no closing hash";
  EXPECT_FALSE(plan.Resolve("0123x567#s3cret#").accepted) << "not digits";
  EXPECT_FALSE(plan.Resolve("01#s3cret#").accepted) << "too short";
  EXPECT_FALSE(plan.Resolve(std::string(21, '0') + "#s3cret#").accepted) << "too long";
  EXPECT_FALSE(plan.Resolve("#s3cret#").accepted);
  EXPECT_EQ(plan.Resolve("01234567#wrong#").reason.find("s3cret"), std::string::npos);
}

TEST(DialPlan, MaskingHidesThePassword) {
  EXPECT_EQ(MaskDialSecret("01234567#s3cret#"), "01234567#*#");
  EXPECT_EQ(MaskDialSecret("3381"), "3381");
}

// ---- Sequence accounting ----

TEST(SequenceTracker, CountsDuplicatesLateAndLost) {
  SequenceTracker t;
  for (int64_t s : {1, 2, 3, 3, 5, 4, 4, 9})
    t.Record(s);
  EXPECT_EQ(t.duplicates(), 2u);
  EXPECT_EQ(t.late(), 1u);
  EXPECT_EQ(t.lost(), 3u) << "6, 7 and 8";
}

TEST(SequenceTracker, AJumpFarAheadIsANewNumberingNotLoss) {
  SequenceTracker t;
  t.Record(1);
  t.Record(10000000000000000);
  t.Record(10000000000000002);
  EXPECT_EQ(t.lost(), 1u) << "only the datagram between the last two";
}

// Settled losses feed a live counter: they only grow, a late arrival can still fill what is not settled,
// and one from before the numbering began takes no loss back.
TEST(SequenceTracker, SettledLossOnlyGrowsAndEndsAtTheTotal) {
  SequenceTracker t;
  uint64_t settled = 0;
  for (int64_t s : {10, 8, 12, 11, 14, 100, 13, 101, 200, 5000, 5001, 5003, 4999, 5002}) {
    t.Record(s);
    EXPECT_GE(t.settled_lost(), settled) << "after " << s;
    settled = t.settled_lost();
  }
  EXPECT_EQ(t.lost(), 1u + 85u + 98u)
      << "13 (too late to fill), 15..99, 102..199; 5000 began a new numbering";
  EXPECT_EQ(t.settled_lost(), t.lost()) << "5002 filled its gap in time";
  t.Record(5100);
  EXPECT_EQ(t.lost() - t.settled_lost(), 63u) << "5037..5099 may still arrive";
}

TEST(SequenceTracker, VeryOldDatagramIsLateNotADuplicate) {
  SequenceTracker t;
  t.Record(1000);
  EXPECT_EQ(t.Record(1), SequenceTracker::Verdict::kLate);
  EXPECT_EQ(t.Record(1000), SequenceTracker::Verdict::kDuplicate);
  EXPECT_EQ(t.Record(1001), SequenceTracker::Verdict::kNew);
}

// ---- Limits ----

TEST(SourceLimits, CapsConnectionsPerSourceAndInAll) {
  Limits limits;
  limits.connections_per_source = 2;
  limits.max_connections = 3;
  SourceLimits l(limits);
  EXPECT_TRUE(l.OpenConnection(1));
  EXPECT_TRUE(l.OpenConnection(1));
  EXPECT_FALSE(l.OpenConnection(1)) << "per source";
  EXPECT_TRUE(l.OpenConnection(2));
  EXPECT_FALSE(l.OpenConnection(3)) << "in all";
  l.CloseConnection(1);
  EXPECT_TRUE(l.OpenConnection(3));
  EXPECT_EQ(l.open_connections(), 3);
  l.CloseConnection(42);  // never opened: no effect
  EXPECT_EQ(l.open_connections(), 3);
}

TEST(SourceLimits, CallsLeaveTheLastTenthOfTheConnectionsToAddressQueries) {
  Limits limits;
  limits.max_connections = 20;
  SourceLimits l(limits);
  for (uint32_t ip = 1; ip <= 18; ++ip)
    EXPECT_TRUE(l.OpenCallConnection(ip));
  EXPECT_FALSE(l.OpenCallConnection(19));
  EXPECT_TRUE(l.OpenConnection(19)) << "an address query still gets in";
}

TEST(SourceLimits, QueryRateRefillsOverAMinute) {
  Limits limits;
  limits.queries_per_source_per_minute = 6;
  SourceLimits l(limits);
  uint64_t now = 5000;
  for (int i = 0; i < 6; ++i)
    EXPECT_TRUE(l.TakeQuery(7, now)) << i;
  EXPECT_FALSE(l.TakeQuery(7, now));
  EXPECT_TRUE(l.TakeQuery(8, now)) << "another source has its own allowance";
  EXPECT_FALSE(l.TakeQuery(7, now + 9000)) << "a sixth of a token";
  EXPECT_TRUE(l.TakeQuery(7, now + 10000)) << "one token per ten seconds";
  EXPECT_FALSE(l.TakeQuery(7, now + 10001));
}

}  // namespace
}  // namespace exchange
