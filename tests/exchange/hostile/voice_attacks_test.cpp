// Voice datagrams that are not the client's: spoofed sources before and after a call latches, floods of
// garbage on every voice port. None is taken, the latched source never moves, and real calls keep talking.

#include <random>
#include <string>

#include "exchange/protocol/wire_formats.h"
#include "hostile_fixture.h"

namespace exchange::testing {
namespace {

using Kind = ExchangeEvent::Kind;

TEST_F(HostileTest, SpoofedDatagramsBeforeAndAfterLatchingAreRejected) {
  GoodCall victim(base_, "3381", 0x22);
  std::string error;
  ASSERT_TRUE(victim.Open(&error)) << error;
  int port = victim.udp_port();
  const std::string spoof = BuildClientVoice(1000000, std::string(kVoiceSamples, '\x77'));
  Fd stranger = UdpSocket("127.0.0.9");
  Fd same_host = UdpSocket("127.0.0.1");
  ASSERT_TRUE(stranger.valid() && same_host.valid());
  int rejected_before = exchange_.Count(Kind::VoiceReceived);

  // Before the call's first datagram: only its own address may latch it.
  for (int i = 0; i < 200; ++i)
    SendDatagram(stranger.get(), "127.0.0.1", port, spoof);
  ASSERT_TRUE(WaitFor([&] { return exchange_.Count(Kind::VoiceReceived) > rejected_before; }));
  EXPECT_EQ(exchange_.Count(Kind::VoiceLatched), 1);  // the good call's only

  victim.Talk();
  ASSERT_TRUE(victim.WaitEchoes(10, kPatienceMs)) << exchange_.RecentEvents();
  EXPECT_EQ(exchange_.Count(Kind::VoiceLatched), 2);
  EXPECT_GE(exchange_.CountWithText(Kind::VoiceLatched, std::to_string(victim.voice_source_port())), 1);

  // Once latched, neither a stranger nor another port of the client's own address is taken.
  int rejected_latched = exchange_.Count(Kind::VoiceReceived);
  for (int i = 0; i < 500; ++i) {
    SendDatagram(stranger.get(), "127.0.0.1", port, spoof);
    SendDatagram(same_host.get(), "127.0.0.1", port, spoof);
  }
  ASSERT_TRUE(WaitFor([&] {
    return exchange_.CountWithText(Kind::VoiceReceived, "not from the latched source") > 0;
  })) << exchange_.RecentEvents();
  EXPECT_GT(exchange_.Count(Kind::VoiceReceived), rejected_latched);
  EXPECT_TRUE(victim.WaitEchoes(20, kPatienceMs));
  EXPECT_EQ(victim.foreign(), 0);
  EXPECT_EQ(exchange_.Count(Kind::VoiceLatched), 2);
  // The voice still goes to the latched port, not to the spoofer's.
  std::string got;
  EXPECT_EQ(ReadSome(same_host.get(), 100, &got), ReadEnd::kTimeout);
  victim.HangUp();
}

TEST_F(HostileTest, GarbageDatagramFloodOnEveryVoicePortIsRejected) {
  Fd stranger = UdpSocket("127.0.0.9");
  Fd same_host = UdpSocket("127.0.0.1");
  std::mt19937 rng(11);
  int before = exchange_.Count(Kind::VoiceReceived);
  for (int i = 0; i < 2000; ++i) {
    std::string datagram(rng() % 3 == 0 ? kClientVoiceSize : rng() % 1500, '\0');
    for (char& c : datagram)
      c = static_cast<char>(rng());
    int port = UdpPort(i % 4);
    SendDatagram((i & 1) ? stranger.get() : same_host.get(), "127.0.0.1", port, datagram);
  }
  ASSERT_TRUE(WaitFor([&] { return exchange_.Count(Kind::VoiceReceived) > before; }));
  EXPECT_EQ(exchange_.Count(Kind::VoiceLatched), 1);
  EXPECT_TRUE(good_->WaitEchoes(20, kPatienceMs));
}

}  // namespace
}  // namespace exchange::testing
