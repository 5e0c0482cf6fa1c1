// The address server against short, long, malformed and slow queries, and floods of them.

#include <chrono>
#include <string>
#include <vector>

#include "exchange/protocol/wire_formats.h"
#include "hostile_fixture.h"

namespace exchange::testing {
namespace {

using Kind = ExchangeEvent::Kind;
using Clock = std::chrono::steady_clock;

TEST_F(HostileTest, ShortQueryHeldOpenIsClosedAtTheTimeoutWithoutReply) {
  Fd fd = Connect("127.0.0.1", exchange_.address_port());
  ASSERT_TRUE(fd.valid());
  ASSERT_TRUE(SendAll(fd.get(), BuildAddressQuery().substr(0, 100)));
  std::string reply;
  EXPECT_TRUE(WaitClosed(fd.get(), kPatienceMs, &reply));
  EXPECT_EQ(reply, "");
  EXPECT_GE(exchange_.CountWithText(Kind::AddressClosed, "timed out after 100 of 452 bytes"), 1);
}

TEST_F(HostileTest, QueryLongerThanOneRecordIsClosedWithAtMostOneReply) {
  Fd fd = Connect("127.0.0.1", exchange_.address_port());
  ASSERT_TRUE(fd.valid());
  ASSERT_TRUE(SendAll(fd.get(), BuildAddressQuery() + std::string(100, 'x')));
  std::string reply;
  EXPECT_TRUE(WaitClosed(fd.get(), kPatienceMs, &reply));
  EXPECT_LE(reply.size(), kAddressRecordSize);
}

TEST_F(HostileTest, MalformedQueriesAreClosedWithoutReply) {
  std::string valid = BuildAddressQuery();
  std::vector<std::string> bad(5, valid);
  bad[0][AddressFieldOffset(1) + 3] = 'X';                          // wrong token
  bad[1][AddressFieldOffset(2)] = '9';                              // wrong query code
  bad[2][0] = '\x01';                                               // reserved bytes
  bad[3][AddressFieldOffset(4) + 10] = '\xff';                      // a field that must be empty
  bad[4].replace(AddressFieldOffset(1), 64, std::string(64, 'A'));  // no NUL in the field
  int before = exchange_.Count(Kind::AddressQueryMalformed);
  for (const std::string& query : bad) {
    Fd fd = Connect("127.0.0.1", exchange_.address_port());
    ASSERT_TRUE(fd.valid());
    ASSERT_TRUE(SendAll(fd.get(), query));
    std::string reply;
    EXPECT_TRUE(WaitClosed(fd.get(), kPatienceMs, &reply));
    EXPECT_EQ(reply, "");
  }
  EXPECT_EQ(exchange_.Count(Kind::AddressQueryMalformed) - before, 5) << exchange_.RecentEvents();
  EXPECT_EQ(QueryAddress(exchange_.address_port()), "127.0.0.1");
}

TEST_F(HostileTest, SlowSenderIsClosedAtTheAddressTimeout) {
  std::string query = BuildAddressQuery();
  Fd fd = Connect("127.0.0.1", exchange_.address_port());
  ASSERT_TRUE(fd.valid());
  auto start = Clock::now();
  bool closed = false;
  size_t sent = 0;
  // One byte per 100 ms would take 45 s; the exchange stops waiting long before.
  while (!closed && sent < 100) {
    if (!SendAll(fd.get(), query.substr(sent, 1))) break;
    ++sent;
    std::string ignored;
    closed = ReadSome(fd.get(), 100, &ignored) == ReadEnd::kClosed;
  }
  if (!closed) closed = WaitClosed(fd.get(), kPatienceMs);
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_TRUE(closed);
  EXPECT_GE(took, static_cast<long>(kAddressTimeoutMs) - 50);
  EXPECT_LT(sent, 100u);
}

TEST_F(HostileTest, QueryStormFromOneSourceIsCappedWhileOthersAreServed) {
  int answered = 0;
  for (int i = 0; i < kQueriesPerMinute + 10; ++i)
    answered += !QueryAddress(exchange_.address_port(), "127.0.0.6").empty();
  // The bucket refills by one query every 3 s: a slow run may earn one or two more.
  EXPECT_GE(answered, kQueriesPerMinute);
  EXPECT_LE(answered, kQueriesPerMinute + 2);
  EXPECT_GE(exchange_.CountWithText(Kind::ConnectionRefused, "over its rate"), 8);
  EXPECT_EQ(QueryAddress(exchange_.address_port(), "127.0.0.7"), "127.0.0.1");
}

}  // namespace
}  // namespace exchange::testing
