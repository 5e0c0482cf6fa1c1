// The visitor's web page on the exchange: an HTTP (or HTTPS) listener, behind a gate that caps its
// connections, that serves the page's files and takes each call's WebSocket at /call, and the media port of
// those calls. Each call is a WebCall over the same call logic, dial plan, limits and far ends as the phone
// channels.
#pragma once

#include <list>
#include <memory>
#include <string>
#include <string_view>

#include "exchange/net/server_context.h"
#include "exchange/web/media_port.h"
#include "exchange/web/page_files.h"
#include "exchange/web/page_gate.h"
#include "exchange/web/web_config.h"

struct http_sock;
struct http_conn;
struct http_msg;
struct websock;
struct websock_conn;
struct websock_hdr;
struct mbuf;

namespace exchange {

class WebCall;

class WebServer {
 public:
  WebServer(ServerContext& context, WebConfig config);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  bool Start(std::string* error);
  // Ends every web call and stops listening. Idempotent.
  void Shutdown(std::string_view why);

  int port() const { return port_; }
  int media_port() const { return media_.port(); }
  int load() const;  // web calls answered and not finished
  int CallsFrom(uint32_t ip) const;

 private:
  struct Slot;
  static void OnRequest(struct http_conn* conn, const struct http_msg* msg, void* arg);
  static void OnSocketMessage(const struct websock_hdr* hdr, struct mbuf* mb, void* arg);
  static void OnSocketClosed(int err, void* arg);

  void Serve(struct http_conn* conn, const struct http_msg* msg);
  void OpenCall(struct http_conn* conn, const struct http_msg* msg);
  void Release(Slot& slot);
  void ReapSoon();
  void Emit(ExchangeEvent::Kind kind, std::string peer, std::string text, const char* reason = nullptr) const;

  ServerContext& context_;
  WebConfig config_;
  PageFiles files_;
  MediaPort media_;
  PageGate gate_;                     // where visitors connect
  struct http_sock* http_ = nullptr;  // on loopback, behind the gate
  struct websock* websock_ = nullptr;
  int port_ = 0;
  std::list<std::unique_ptr<Slot>> calls_;
  std::unique_ptr<Timer> reaper_;
};

}  // namespace exchange
