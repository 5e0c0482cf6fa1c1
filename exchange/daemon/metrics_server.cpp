#include "exchange/daemon/metrics_server.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

extern "C" {
#include <re.h>
}

#include "exchange/net/server_context.h"

namespace exchange {

struct MetricsServer::Connection {
  MetricsServer* server = nullptr;
  struct tcp_conn* tcp = nullptr;
  std::string request;  // the header so far, at most kMaxRequestBytes
  bool answered = false;
  struct tmr timer = {};  // the request's deadline, then the close after the reply

  ~Connection() {
    tmr_cancel(&timer);
    mem_deref(tcp);
  }

  static void OnReceive(struct mbuf* mb, void* arg) {
    auto* c = static_cast<Connection*>(arg);
    if (c->answered) return;
    size_t before = c->request.size();
    size_t take = std::min(mbuf_get_left(mb), kMaxRequestBytes + 1 - before);
    c->request.append(reinterpret_cast<const char*>(mbuf_buf(mb)), take);
    // Only the new bytes (and the three before them) can complete the header.
    size_t end = c->request.find("\r\n\r\n", before > 3 ? before - 3 : 0);
    if (end == std::string::npos) {
      if (c->request.size() > kMaxRequestBytes)
        c->server->Answer(*c, 413, "Request Entity Too Large", "text/plain", "request too large\n");
      return;
    }
    bool metrics = c->request.rfind("GET /metrics ", 0) == 0 || c->request.rfind("GET /metrics?", 0) == 0;
    if (metrics)
      c->server->Answer(*c, 200, "OK", "text/plain; version=0.0.4; charset=utf-8", c->server->render_());
    else
      c->server->Answer(*c, 404, "Not Found", "text/plain", "not found\n");
  }
  static void OnClose(int, void* arg) {
    auto* c = static_cast<Connection*>(arg);
    c->server->Close(*c);
  }
  static void OnTimer(void* arg) {
    auto* c = static_cast<Connection*>(arg);
    c->server->Close(*c);
  }
  static void OnSent(void* arg) {
    // The reply has left our queue: the connection goes.
    auto* c = static_cast<Connection*>(arg);
    if (c->answered && tcp_conn_txqsz(c->tcp) == 0) tmr_start(&c->timer, 0, &Connection::OnTimer, c);
  }
};

MetricsServer::MetricsServer(Render render) : render_(std::move(render)) {}

MetricsServer::~MetricsServer() {
  Stop();
}

bool MetricsServer::Start(const std::string& address, int port, std::string* error) {
  struct sa local;
  if (sa_set_str(&local, address.c_str(), static_cast<uint16_t>(port)) != 0) {
    *error = "metrics: \"" + address + "\" is not an IP address";
    return false;
  }
  int err = ListenTcp(&sock_, local, &MetricsServer::OnConnect, this);
  if (err != 0) {
    *error = "metrics: cannot listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(err);
    return false;
  }
  struct sa bound;
  tcp_sock_local_get(sock_, &bound);
  port_ = sa_port(&bound);
  return true;
}

void MetricsServer::Stop() {
  sock_ = static_cast<struct tcp_sock*>(mem_deref(sock_));
  connections_.clear();
}

void MetricsServer::OnConnect(const struct sa*, void* arg) {
  auto* self = static_cast<MetricsServer*>(arg);
  if (static_cast<int>(self->connections_.size()) >= kMaxConnections) {
    tcp_reject(self->sock_);
    return;
  }
  auto c = std::make_unique<Connection>();
  c->server = self;
  if (tcp_accept(&c->tcp, self->sock_, nullptr, &Connection::OnReceive, &Connection::OnClose, c.get()) != 0) {
    tcp_reject(self->sock_);
    return;
  }
  tmr_start(&c->timer, kRequestTimeoutMs, &Connection::OnTimer, c.get());
  self->connections_.push_back(std::move(c));
}

void MetricsServer::Answer(Connection& c, int status, const std::string& reason, const std::string& type,
                           const std::string& body) {
  c.answered = true;
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + type +
                     "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
  struct mbuf* mb = mbuf_alloc(head.size() + body.size());
  if (mb != nullptr) {
    mbuf_write_mem(mb, reinterpret_cast<const uint8_t*>(head.data()), head.size());
    mbuf_write_mem(mb, reinterpret_cast<const uint8_t*>(body.data()), body.size());
    mb->pos = 0;
    tcp_send(c.tcp, mb);
    mem_deref(mb);
  }
  tcp_set_send(c.tcp, &Connection::OnSent);
  // Closed once the reply has left; a reader that never takes it gets a few seconds.
  tmr_start(&c.timer, tcp_conn_txqsz(c.tcp) == 0 ? 0 : kRequestTimeoutMs, &Connection::OnTimer, &c);
}

void MetricsServer::Close(Connection& c) {
  // libre may be inside this connection's handler: stop hearing it now, free it from the loop.
  if (c.tcp != nullptr) tcp_set_handlers(c.tcp, nullptr, nullptr, nullptr, nullptr);
  Connection* raw = &c;
  tmr_start(
      &c.timer, 0,
      [](void* arg) {
        auto* dead = static_cast<Connection*>(arg);
        dead->server->connections_.remove_if(
            [dead](const std::unique_ptr<Connection>& x) { return x.get() == dead; });
      },
      raw);
}

}  // namespace exchange
