// The page's gate: idle connections beyond the caps are turned away at once (per address, then in all)
// while other visitors are still served through it, the server behind it sees each visitor's own address,
// and every relay goes when its visitor does.
#include "exchange/web/page_gate.h"

#include <string>
#include <vector>

#include "attacker.h"
#include "tests/exchange/libre_loop.h"

namespace exchange::testing {
namespace {

// Reads what has come, without waiting (libre's loop runs on this thread); true once the other end closed.
bool ClosedNow(const Fd& fd, std::string* got) {
  ReadEnd end;
  while ((end = ReadSome(fd.get(), 0, got)) == ReadEnd::kData) {
  }
  return end == ReadEnd::kClosed;
}

struct Server {  // libre's HTTP server behind the gate, answering with the visitor the gate names
  PageGate* gate = nullptr;
  struct http_sock* http = nullptr;
  static void OnRequest(struct http_conn* conn, const struct http_msg*, void* arg) {
    std::string visitor = static_cast<Server*>(arg)->gate->VisitorOf(*http_conn_peer(conn)).IpString();
    http_creply(conn, 200, "OK", "text/plain", "%s", visitor.c_str());
  }
};

TEST(PageGate, CapsIdleConnectionsPerAddressAndInAllAndRelaysTheRestWithTheVisitorsAddress) {
  std::vector<std::string> refused;
  auto proxy = [](uint32_t ip) { return ip == 0x7F000005; };  // 127.0.0.5: no cap of its own
  PageGate gate(PageGate::Caps{3, 8, proxy}, [&](const Endpoint& visitor, const char* why) {
    refused.push_back(visitor.IpString() + " " + why);
  });
  Server server{&gate};
  struct sa inner, outer;
  sa_set_str(&inner, "127.0.0.1", 0);
  ASSERT_EQ(http_listen(&server.http, &inner, &Server::OnRequest, &server), 0);
  tcp_sock_local_get(http_sock_tcp(server.http), &inner);
  sa_set_str(&outer, "127.0.0.1", 0);
  std::string error;
  ASSERT_TRUE(gate.Start(outer, inner, &error)) << error;

  std::vector<Fd> idle;
  for (int k = 0; k < 3; ++k)
    idle.push_back(Connect("127.0.0.1", gate.port()));
  ASSERT_TRUE(RunLoopUntil([&] { return gate.open() == 3; }, 2000));
  Fd fourth = Connect("127.0.0.1", gate.port());
  std::string got;
  EXPECT_TRUE(RunLoopUntil([&] { return ClosedNow(fourth, &got); }, 2000)) << "the fourth is closed at once";

  Fd visitor = Connect("127.0.0.1", gate.port(), "127.0.0.2");
  ASSERT_TRUE(SendAll(visitor.get(), "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  std::string reply;
  RunLoopUntil([&] { return ClosedNow(visitor, &reply) || reply.find("\r\n\r\n127") != std::string::npos; },
               2000);
  EXPECT_NE(reply.find("200 OK\r\n"), std::string::npos) << reply;
  EXPECT_NE(reply.find("\r\n\r\n127.0.0.2"), std::string::npos) << "the server sees the visitor: " << reply;

  for (int k = 0; k < 4; ++k)  // a proxy, beyond the cap of one address: eight in all
    idle.push_back(Connect("127.0.0.1", gate.port(), "127.0.0.5"));
  Fd sixth = Connect("127.0.0.1", gate.port(), "127.0.0.4");
  EXPECT_TRUE(RunLoopUntil([&] { return ClosedNow(sixth, &got); }, 2000)) << "over the total";
  EXPECT_EQ(refused, (std::vector<std::string>{"127.0.0.1 too many connections from one address",
                                               "127.0.0.4 too many connections to the page"}));

  idle.clear();
  for (Fd* fd : {&fourth, &visitor, &sixth})
    fd->Reset();
  EXPECT_TRUE(RunLoopUntil([&] { return gate.open() == 0; }, 2000)) << gate.open() << " relays left";
  gate.Stop();
  mem_deref(server.http);
}

}  // namespace
}  // namespace exchange::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new exchange::testing::LibreEnvironment);
  return RUN_ALL_TESTS();
}
