// The page's port as visitors reach it. libre's HTTP server, which serves the page and takes the calls'
// WebSockets, caps nothing and offers no way to refuse a connection before it sends a request: idle
// connections could use every descriptor the exchange has. So visitors connect here instead, under caps per
// address and in all, and each connection taken is relayed byte for byte to that server on a loopback port
// of its own; the server asks the gate who the visitor behind a relayed connection is.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>

#include "exchange/call/call_link.h"

struct sa;
struct tcp_sock;

namespace exchange {

class PageGate {
 public:
  struct Caps {
    int per_source = 16;
    int total = 128;
    std::function<bool(uint32_t ip)> uncapped_source;  // the venue's proxies: every visitor comes from them
  };
  // Each connection taken holds three descriptors: the visitor's, the relay's and the server's end of it.
  static constexpr int kDescriptorsPerConnection = 3;

  using Refused = std::function<void(const Endpoint& visitor, const char* why)>;
  PageGate(Caps caps, Refused on_refused);
  ~PageGate();
  PageGate(const PageGate&) = delete;
  PageGate& operator=(const PageGate&) = delete;

  // Listens on `public_address` and relays to `server` (libre's HTTP server on loopback).
  bool Start(const struct sa& public_address, const struct sa& server, std::string* error);
  void Stop();

  int port() const { return port_; }
  int open() const { return static_cast<int>(relays_.size()); }
  // The visitor behind a connection the server got from `seen`: the gate's own relays are looked up,
  // anything else is itself.
  Endpoint VisitorOf(const struct sa& seen) const;

 private:
  struct Relay;
  static void OnConnect(const struct sa* peer, void* arg);
  void Close(Relay& relay);

  Caps caps_;
  Refused on_refused_;
  struct tcp_sock* listener_ = nullptr;
  int port_ = 0;
  std::unique_ptr<struct sa> server_;
  std::list<std::unique_ptr<Relay>> relays_;
  std::unordered_map<uint32_t, int> per_source_;
  std::unordered_map<uint16_t, Endpoint> by_relay_port_;  // the relay's local port toward the server
};

}  // namespace exchange
