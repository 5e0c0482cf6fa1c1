// One address against everyone else: it holds at most its share of the channels (and a vanished holder is
// found by keepalive), and two visitors behind one NAT on the shared voice port each keep their own call.

#include <string>
#include <vector>

#include "exchange/protocol/wire_formats.h"
#include "hostile_fixture.h"

namespace exchange::testing {
namespace {

TEST_F(HostileTest, OneAddressHoldsAtMostItsShareOfTheChannels) {
  std::vector<Fd> held;
  int answered = 0;
  for (int k = 0; k < 4; ++k) {
    Fd fd = Connect("127.0.0.1", TcpPort(k), "127.0.0.9");
    ASSERT_TRUE(fd.valid());
    if (ReadTag(fd.get(), kPatienceMs) == kTagWaitDial) ++answered;
    held.push_back(std::move(fd));
  }
  EXPECT_EQ(answered, 2) << exchange_.RecentEvents();
  // A held line whose client vanishes without a FIN is let go by keepalive probes, well within two minutes.
  int server_end = ServerEndOf(held[0].get());
  ASSERT_GE(server_end, 0);
  EXPECT_GT(KeepAliveGiveUpSeconds(server_end), 0);
  EXPECT_LE(KeepAliveGiveUpSeconds(server_end), 120);
  // A visitor from elsewhere still finds the channel left over.
  GoodCall visitor(base_, "3381", 0x44, "127.0.0.3");
  std::string error;
  ASSERT_TRUE(visitor.Open(&error)) << error << "\n" << exchange_.RecentEvents();
  visitor.Talk();
  EXPECT_TRUE(visitor.WaitEchoes(10, kPatienceMs));
  EXPECT_EQ(visitor.foreign(), 0);
}

TEST_F(HostileTest, ConnectCloseCyclesFromOneAddressAreRefusedBeyondTheirRateAndSaidOnce) {
  const int rate = Limits().connections_per_source_per_minute;
  int refused = 0;
  for (int i = 0; i < rate + 40; ++i) {
    Fd fd = Connect("127.0.0.1", TcpPort(FreeChannel()), "127.0.0.77");
    ASSERT_TRUE(fd.valid());
    std::string tag = ReadTag(fd.get(), kPatienceMs);
    if (tag.empty()) ++refused;  // closed at once, no tag
  }
  EXPECT_GE(refused, 30) << "the bucket refills one a second while this runs";
  EXPECT_EQ(exchange_.CountWithText(ExchangeEvent::Kind::ConnectionRefused, "a minute"), 1)
      << "each refusal said again: the log floods";
  GoodCall visitor(base_, "3381", 0x44, "127.0.0.3");
  std::string error;
  EXPECT_TRUE(visitor.Open(&error)) << error;
}

TEST(SharedVoicePortTest, TwoVisitorsBehindOneNatKeepTheirOwnCalls) {
  ExchangeOnLoop exchange;
  ExchangeConfig config;
  config.address_port = 0;
  config.phone_base_port = 0;
  config.voice_port = 1;  // moved into the test's block of ports
  config.dial_plan.AddExtension("3381", DialRoute{"echo", "0"});
  config.dial_plan.AddExtension("3191", DialRoute{"tone", "440"});
  std::string error;
  ASSERT_TRUE(exchange.Start(config, &error)) << error;
  const int voice_port = exchange.phone_base_port() + 8;
  // The first visitor dials and talks first; the second's call is the newer one.
  GoodCall first(exchange.phone_base_port(), "3381", 0x55, "127.0.0.5", voice_port);
  GoodCall second(exchange.phone_base_port(), "3191", 0x66, "127.0.0.5", voice_port);
  ASSERT_TRUE(first.Open(&error)) << error;
  ASSERT_TRUE(second.Open(&error)) << error;
  first.Talk();
  EXPECT_TRUE(first.WaitEchoes(20, kPatienceMs)) << exchange.RecentEvents();
  second.Talk();
  EXPECT_TRUE(first.WaitEchoes(20, kPatienceMs)) << exchange.RecentEvents();
  EXPECT_EQ(first.foreign(), 0) << "the first visitor heard the other call's tone";
  first.HangUp();
  second.HangUp();
  exchange.Stop();
}

}  // namespace
}  // namespace exchange::testing
