// Storms of connections from one source against the address server and a phone channel: no more than the
// per-source cap is ever accepted, everything is closed again, and the memory they took is given back.

#include <chrono>
#include <thread>
#include <vector>

#include "hostile_fixture.h"

namespace exchange::testing {
namespace {

using Kind = ExchangeEvent::Kind;
constexpr int kStorm = 40;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kResidentMemoryMeaningful = false;  // the sanitizer keeps freed memory in quarantine
#else
constexpr bool kResidentMemoryMeaningful = true;
#endif

// Opens kStorm connections to `port` from one address and waits until the exchange has decided on each.
// Returns how many could have been accepted: the cap, plus the cap again for every time the accepted ones
// were closed meanwhile (a test thread held up for longer than the address timeout).
int Storm(ExchangeOnLoop& exchange, int port, int* accepted, int* refused, Kind accepted_kind) {
  int accepted_before = exchange.Count(accepted_kind);
  int refused_before = exchange.Count(Kind::ConnectionRefused);
  auto start = std::chrono::steady_clock::now();
  std::vector<Fd> held;
  for (int i = 0; i < kStorm; ++i)
    held.push_back(Connect("127.0.0.1", port, "127.0.0.5"));
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  for (int i = 0; i < 1000; ++i) {
    *accepted = exchange.Count(accepted_kind) - accepted_before;
    *refused = exchange.Count(Kind::ConnectionRefused) - refused_before;
    if (*accepted + *refused >= kStorm) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_LE(exchange.open_connections(), kPerSourceConnections + 1);  // the storm's and the good call's
  return kPerSourceConnections * (1 + static_cast<int>(took.count() / static_cast<long>(kAddressTimeoutMs)));
}

TEST_F(HostileTest, ConnectionStormOnTheAddressServerIsCappedPerSource) {
  int accepted = 0, refused = 0;
  int allowed = Storm(exchange_, exchange_.address_port(), &accepted, &refused, Kind::AddressConnected);
  EXPECT_GE(accepted, kPerSourceConnections);
  EXPECT_LE(accepted, allowed);
  EXPECT_EQ(accepted + refused, kStorm);
  EXPECT_EQ(QueryAddress(exchange_.address_port()), "127.0.0.1");
}

TEST_F(HostileTest, ConnectionStormOnAPhoneChannelIsCappedPerSource) {
  int accepted = 0, refused = 0;
  Storm(exchange_, TcpPort(FreeChannel()), &accepted, &refused, Kind::ChannelAccepted);
  // Phone connections held open stay counted: nothing frees a place during the storm.
  EXPECT_EQ(accepted, kPerSourceConnections);
  EXPECT_EQ(refused, kStorm - kPerSourceConnections);
}

TEST_F(HostileTest, RepeatedStormsGiveTheirMemoryAndConnectionsBack) {
  auto round = [&] {
    int accepted = 0, refused = 0;
    Storm(exchange_, exchange_.address_port(), &accepted, &refused, Kind::AddressConnected);
    Storm(exchange_, TcpPort(FreeChannel()), &accepted, &refused, Kind::ChannelAccepted);
    for (int i = 0; i < 10; ++i)
      QueryAddress(exchange_.address_port(), "127.0.0.8");
    EXPECT_TRUE(WaitFor([&] { return exchange_.open_connections() == 1; })) << exchange_.RecentEvents();
  };
  round();  // the first round grows pools that stay
  size_t before = ResidentBytes();
  for (int i = 0; i < 5; ++i)
    round();
  size_t after = ResidentBytes();
  if (kResidentMemoryMeaningful) {
    EXPECT_LT(after, before + (8u << 20)) << before << " -> " << after;
  }
}

}  // namespace
}  // namespace exchange::testing
