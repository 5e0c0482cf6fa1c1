// The address server: reads one 452-byte query per connection, checks it, and answers with the
// least-loaded phone-server address.
#pragma once

#include <list>
#include <memory>
#include <string>

#include "exchange/net/server_context.h"

struct tcp_sock;
struct tcp_conn;
struct mbuf;

namespace exchange {

class AddressServer {
 public:
  explicit AddressServer(ServerContext& context);
  ~AddressServer();

  bool Start(std::string* error);
  void Shutdown();
  int port() const { return port_; }

 private:
  struct Connection;

  static void OnConnect(const struct sa* peer, void* arg);
  static void OnReceive(struct mbuf* mb, void* arg);
  static void OnClose(int err, void* arg);

  void HandleQuery(Connection& c);
  void Refuse(const Endpoint& from, const char* reason, std::string text);
  // A query that never became one whole record: cut short, timed out or overlong.
  void ReportMalformed(const Connection& c, std::string problem);
  void Drop(Connection& c, std::string why);
  void ReapSoon();
  std::string ChoosePhoneAddress();

  ServerContext& context_;
  struct tcp_sock* listener_ = nullptr;
  int port_ = 0;
  std::list<std::unique_ptr<Connection>> connections_;
  std::unique_ptr<Timer> reaper_;
  size_t next_server_ = 0;
};

}  // namespace exchange
