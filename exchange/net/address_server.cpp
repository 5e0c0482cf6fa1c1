#include "exchange/net/address_server.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <re.h>
}

#include "exchange/net/phone_server.h"
#include "exchange/protocol/display_text.h"
#include "exchange/protocol/wire_formats.h"

namespace exchange {

using Kind = ExchangeEvent::Kind;

struct AddressServer::Connection {
  AddressServer* server = nullptr;
  struct tcp_conn* tcp = nullptr;
  Endpoint peer;
  std::string query;
  std::unique_ptr<Timer> timeout;
  bool done = false;  // closed or answered: reaped soon

  ~Connection() { mem_deref(tcp); }
};

AddressServer::AddressServer(ServerContext& context)
    : context_(context), reaper_(context.timers.NewTimer()) {}

AddressServer::~AddressServer() {
  Shutdown();
}

bool AddressServer::Start(std::string* error) {
  struct sa local;
  if (sa_set_str(&local, context_.config.address_listen.c_str(),
                 static_cast<uint16_t>(context_.config.address_port)) != 0) {
    *error = "address server: \"" + context_.config.address_listen + "\" is not an IPv4 address";
    return false;
  }
  int err = ListenTcp(&listener_, local, &AddressServer::OnConnect, this);
  if (err != 0) {
    *error = "address server: cannot listen on " + context_.config.address_listen + ":" +
             std::to_string(context_.config.address_port) + ": " + std::strerror(err);
    return false;
  }
  struct sa bound;
  tcp_sock_local_get(listener_, &bound);
  port_ = sa_port(&bound);
  return true;
}

void AddressServer::Shutdown() {
  listener_ = static_cast<struct tcp_sock*>(mem_deref(listener_));
  connections_.clear();
}

void AddressServer::Refuse(const Endpoint& from, const char* reason, std::string text) {
  ExchangeEvent e;
  e.kind = Kind::ConnectionRefused;
  e.peer = from.ToString();
  e.port = port_;
  e.reason = reason;
  e.text = std::move(text);
  context_.Emit(e);
}

void AddressServer::OnConnect(const struct sa* peer, void* arg) {
  auto* self = static_cast<AddressServer*>(arg);
  ServerContext& ctx = self->context_;
  Endpoint from = EndpointOf(*peer);
  if (!ctx.limits.OpenConnection(from.ip)) {
    tcp_reject(self->listener_);
    self->Refuse(from, "connections",
                 "address server: connection from " + from.ToString() + " refused: too many connections");
    return;
  }
  auto c = std::make_unique<Connection>();
  c->server = self;
  c->peer = from;
  int err = tcp_accept(&c->tcp, self->listener_, nullptr, &AddressServer::OnReceive, &AddressServer::OnClose,
                       c.get());
  if (err != 0) {
    ctx.limits.CloseConnection(from.ip);
    tcp_reject(self->listener_);
    return;
  }
  if (!ctx.limits.DescriptorFree(tcp_conn_fd(c->tcp))) {
    c.reset();
    ctx.limits.CloseConnection(from.ip);
    self->Refuse(
        from, "connections",
        "address server: connection from " + from.ToString() + " refused: file descriptors nearly used up");
    return;
  }
  Connection* raw = c.get();
  c->timeout = ctx.timers.NewTimer();
  c->timeout->Start(ctx.config.address_timeout_ms, [self, raw] {
    self->ReportMalformed(*raw, "short query: only " + std::to_string(raw->query.size()) + " of " +
                                    std::to_string(kAddressRecordSize) + " bytes arrived within " +
                                    std::to_string(self->context_.config.address_timeout_ms) + " ms");
    self->Drop(*raw, "timed out after " + std::to_string(raw->query.size()) + " of " +
                         std::to_string(kAddressRecordSize) + " bytes");
  });
  self->connections_.push_back(std::move(c));

  ExchangeEvent e;
  e.kind = Kind::AddressConnected;
  e.peer = from.ToString();
  e.port = self->port_;
  e.text = "from " + e.peer;
  ctx.Emit(e);
}

void AddressServer::OnReceive(struct mbuf* mb, void* arg) {
  auto* c = static_cast<Connection*>(arg);
  if (c->done) return;
  size_t n = mbuf_get_left(mb);
  // Never more than one record: whatever follows it makes the query malformed.
  size_t room = kAddressRecordSize + 1 - c->query.size();
  c->query.append(reinterpret_cast<const char*>(mbuf_buf(mb)), std::min(n, room));
  if (c->query.size() > kAddressRecordSize) {
    c->server->ReportMalformed(*c, "more than " + std::to_string(kAddressRecordSize) + " bytes");
    c->server->Drop(*c, "more than " + std::to_string(kAddressRecordSize) + " bytes");
    return;
  }
  if (c->query.size() == kAddressRecordSize) c->server->HandleQuery(*c);
}

void AddressServer::OnClose(int err, void* arg) {
  auto* c = static_cast<Connection*>(arg);
  if (c->done) return;
  if (c->query.empty()) {
    c->server->ReportMalformed(*c, "peer closed without sending anything");
  } else if (c->query.size() < kAddressRecordSize) {
    c->server->ReportMalformed(*c, "short query: peer closed after " + std::to_string(c->query.size()) +
                                       " of " + std::to_string(kAddressRecordSize) + " bytes");
  }
  c->server->Drop(*c, err != 0 ? std::string("connection error: ") + std::strerror(err)
                               : "client closed after " + std::to_string(c->query.size()) + " bytes");
}

void AddressServer::HandleQuery(Connection& c) {
  ServerContext& ctx = context_;
  std::string problem = ValidateAddressQuery(c.query);
  if (!problem.empty()) {
    ExchangeEvent e;
    e.kind = Kind::AddressQueryMalformed;
    e.peer = c.peer.ToString();
    e.port = port_;
    e.bytes = c.query;
    e.text = problem;
    ctx.Emit(e);
    Drop(c, "malformed query");
    return;
  }
  if (!ctx.limits.TakeQuery(c.peer.ip, ctx.timers.NowMs())) {
    ExchangeEvent e;
    e.kind = Kind::ConnectionRefused;
    e.peer = c.peer.ToString();
    e.port = port_;
    e.reason = "query_rate";
    e.text = "address query from " + e.peer + " refused: over its rate";
    ctx.Emit(e);
    Drop(c, "query rate exceeded");
    return;
  }
  ++ctx.call_number;
  ctx.connections_in_call = 0;
  ExchangeEvent ok;
  ok.kind = Kind::AddressQueryOk;
  ok.call = ctx.call_number;
  ok.peer = c.peer.ToString();
  ok.port = port_;
  ok.bytes = c.query;
  ok.text = "valid query from " + ok.peer + ", call " + std::to_string(ctx.call_number);
  ctx.Emit(ok);
  if (ctx.config.address_silent) {  // holds the connection until the client gives up
    c.timeout->Cancel();
    return;
  }

  std::string address = ChoosePhoneAddress();
  std::string reply = BuildAddressReply(address);
  struct mbuf* mb = mbuf_alloc(reply.size());
  mbuf_write_mem(mb, reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
  mb->pos = 0;
  int err = tcp_send(c.tcp, mb);
  mem_deref(mb);
  ExchangeEvent sent;
  sent.kind = Kind::AddressReplySent;
  sent.call = ctx.call_number;
  sent.peer = c.peer.ToString();
  sent.port = port_;
  sent.bytes = reply;
  sent.text = "phone server " + address + (err != 0 ? " (send failed)" : "");
  ctx.Emit(sent);
  // The client reads one reply and closes; it gets a moment to do so before the exchange closes its side.
  Connection* raw = &c;
  c.timeout->Start(ctx.config.address_timeout_ms, [this, raw] { Drop(*raw, "answered"); });
}

std::string AddressServer::ChoosePhoneAddress() {
  const auto& servers = context_.phone_servers;
  if (servers.empty()) return std::string();
  // The least-loaded address; among equals, take turns so a burst of queries spreads out.
  size_t best = next_server_ % servers.size();
  for (size_t i = 0; i < servers.size(); ++i) {
    size_t k = (next_server_ + i) % servers.size();
    if (servers[k]->load() < servers[best]->load()) best = k;
  }
  next_server_ = best + 1;
  return servers[best]->public_address();
}

void AddressServer::ReportMalformed(const Connection& c, std::string problem) {
  ExchangeEvent e;
  e.kind = Kind::AddressQueryMalformed;
  e.peer = c.peer.ToString();
  e.port = port_;
  e.bytes = c.query;
  e.text = std::move(problem);
  context_.Emit(e);
}

void AddressServer::Drop(Connection& c, std::string why) {
  if (c.done) return;
  c.done = true;
  c.timeout->Cancel();
  context_.limits.CloseConnection(c.peer.ip);
  ExchangeEvent e;
  e.kind = Kind::AddressClosed;
  e.peer = c.peer.ToString();
  e.port = port_;
  e.text = why;
  context_.Emit(e);
  ReapSoon();
}

void AddressServer::ReapSoon() {
  // Connections go outside libre's handlers that may still be using them.
  if (reaper_->pending()) return;
  reaper_->Start(
      0, [this] { connections_.remove_if([](const std::unique_ptr<Connection>& c) { return c->done; }); });
}

}  // namespace exchange
