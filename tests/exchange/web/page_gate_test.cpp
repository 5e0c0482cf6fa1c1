// The page's gate: idle connections beyond the caps are turned away at once (per address, then in all)
// while other visitors are still served through it, the server behind it sees each visitor's own address,
// and every relay goes when its visitor does.
#include "exchange/web/page_gate.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/exchange/libre_loop.h"

namespace exchange::testing {
namespace {

int ConnectFrom(const char* ip, int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, ip, &a.sin_addr);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << ip;
  return fd;
}

// Reads what has come without waiting: appends it to *got; true once the other end closed.
bool ReadNow(int fd, std::string* got) {
  char buffer[4096];
  for (;;) {
    ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0) return true;
    if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK;
    got->append(buffer, static_cast<size_t>(n));
  }
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
  PageGate gate(PageGate::Caps{3, 5}, [&](const Endpoint& visitor, const char* why) {
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

  std::vector<int> idle;
  for (int k = 0; k < 3; ++k)
    idle.push_back(ConnectFrom("127.0.0.1", gate.port()));
  ASSERT_TRUE(RunLoopUntil([&] { return gate.open() == 3; }, 2000));
  int fourth = ConnectFrom("127.0.0.1", gate.port());
  std::string ignored;
  EXPECT_TRUE(RunLoopUntil([&] { return ReadNow(fourth, &ignored); }, 2000))
      << "the fourth is closed at once";

  int visitor = ConnectFrom("127.0.0.2", gate.port());
  const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  ASSERT_EQ(send(visitor, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
  std::string reply;
  RunLoopUntil(
      [&] { return ReadNow(visitor, &reply) || reply.find("\r\n\r\n127.0.0.2") != std::string::npos; }, 2000);
  EXPECT_NE(reply.find("200 OK"), std::string::npos) << reply;
  EXPECT_NE(reply.find("\r\n\r\n127.0.0.2"), std::string::npos) << "the server sees the visitor: " << reply;

  idle.push_back(ConnectFrom("127.0.0.3", gate.port()));  // the fifth in all
  int sixth = ConnectFrom("127.0.0.4", gate.port());
  EXPECT_TRUE(RunLoopUntil([&] { return ReadNow(sixth, &ignored); }, 2000)) << "over the total";
  EXPECT_EQ(refused, (std::vector<std::string>{"127.0.0.1 too many connections from one address",
                                               "127.0.0.4 too many connections to the page"}));

  for (int fd : idle)
    close(fd);
  for (int fd : {fourth, visitor, sixth})
    close(fd);
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
