#include "exchange/web/page_gate.h"

#include <cstring>

extern "C" {
#include <re.h>
}

#include "exchange/net/server_context.h"

namespace exchange {

namespace {

// What a visitor may send before the server's side of its relay is connected (a request head fits), and
// what may wait unread toward a visitor that does not read (the page's files are a few tens of KiB).
constexpr size_t kMaxEarlyBytes = 16 * 1024;
constexpr size_t kMaxQueuedBytes = 256 * 1024;

}  // namespace

struct PageGate::Relay {
  PageGate* gate = nullptr;
  Endpoint visitor;
  struct tcp_conn* in = nullptr;   // from the visitor
  struct tcp_conn* out = nullptr;  // to the server
  uint16_t out_port = 0;
  std::string early;  // the visitor's bytes before `out` is up
  bool closing = false;
  struct tmr reaper = {};

  ~Relay() {
    tmr_cancel(&reaper);
    mem_deref(in);
    mem_deref(out);
  }

  void Forward(struct tcp_conn* to, struct mbuf* mb) {
    if (!closing && tcp_send(to, mb) != 0) gate->Close(*this);
  }

  static void InReceived(struct mbuf* mb, void* arg) {
    auto* r = static_cast<Relay*>(arg);
    if (r->out_port != 0) return r->Forward(r->out, mb);
    if (r->early.size() + mbuf_get_left(mb) > kMaxEarlyBytes) return r->gate->Close(*r);
    r->early.append(reinterpret_cast<const char*>(mbuf_buf(mb)), mbuf_get_left(mb));
  }
  static void OutEstablished(void* arg) {
    auto* r = static_cast<Relay*>(arg);
    struct sa local;
    if (tcp_conn_local_get(r->out, &local) != 0) return r->gate->Close(*r);
    r->out_port = sa_port(&local);
    r->gate->by_relay_port_[r->out_port] = r->visitor;
    if (r->early.empty()) return;
    struct mbuf* mb = mbuf_alloc(r->early.size());
    if (mb == nullptr) return r->gate->Close(*r);
    mbuf_write_mem(mb, reinterpret_cast<const uint8_t*>(r->early.data()), r->early.size());
    mb->pos = 0;
    r->early.clear();
    r->Forward(r->out, mb);
    mem_deref(mb);
  }
  static void OutReceived(struct mbuf* mb, void* arg) {
    auto* r = static_cast<Relay*>(arg);
    r->Forward(r->in, mb);
  }
  static void Closed(int, void* arg) {
    auto* r = static_cast<Relay*>(arg);
    r->gate->Close(*r);
  }
};

PageGate::PageGate(Caps caps, Refused on_refused) : caps_(caps), on_refused_(std::move(on_refused)) {}

PageGate::~PageGate() {
  Stop();
}

bool PageGate::Start(const struct sa& public_address, const struct sa& server, std::string* error) {
  server_ = std::make_unique<struct sa>(server);
  if (int err = ListenTcp(&listener_, public_address, &PageGate::OnConnect, this)) {
    *error = std::strerror(err);
    return false;
  }
  struct sa bound;
  tcp_sock_local_get(listener_, &bound);
  port_ = sa_port(&bound);
  return true;
}

void PageGate::Stop() {
  listener_ = static_cast<struct tcp_sock*>(mem_deref(listener_));
  relays_.clear();
  per_source_.clear();
  by_relay_port_.clear();
}

Endpoint PageGate::VisitorOf(const struct sa& seen) const {
  Endpoint endpoint = EndpointOf(seen);
  if (server_ == nullptr || !sa_cmp(&seen, server_.get(), SA_ADDR)) return endpoint;
  auto it = by_relay_port_.find(endpoint.port);
  return it == by_relay_port_.end() ? endpoint : it->second;
}

void PageGate::OnConnect(const struct sa* peer, void* arg) {
  auto* gate = static_cast<PageGate*>(arg);
  Endpoint visitor = EndpointOf(*peer);
  int& from_source = gate->per_source_[visitor.ip];
  const Caps& caps = gate->caps_;
  bool capped = !caps.uncapped_source || !caps.uncapped_source(visitor.ip);
  const char* why = gate->open() >= caps.total                 ? "too many connections to the page"
                    : capped && from_source >= caps.per_source ? "too many connections from one address"
                                                               : nullptr;
  if (why != nullptr) {
    if (from_source == 0) gate->per_source_.erase(visitor.ip);
    tcp_reject(gate->listener_);
    gate->on_refused_(visitor, why);
    return;
  }
  auto relay = std::make_unique<Relay>();
  relay->gate = gate;
  relay->visitor = visitor;
  Relay& r = *relay;
  if (tcp_accept(&r.in, gate->listener_, nullptr, &Relay::InReceived, &Relay::Closed, &r) != 0) {
    if (from_source == 0) gate->per_source_.erase(visitor.ip);
    tcp_reject(gate->listener_);
    return;
  }
  ++from_source;
  gate->relays_.push_back(std::move(relay));
  tcp_conn_txqsz_set(r.in, kMaxQueuedBytes);
  if (tcp_connect(&r.out, gate->server_.get(), &Relay::OutEstablished, &Relay::OutReceived, &Relay::Closed,
                  &r) != 0)
    gate->Close(r);
}

// Both ends go together, a moment later: libre is still inside one of the relay's handlers.
void PageGate::Close(Relay& relay) {
  if (relay.closing) return;
  relay.closing = true;
  tmr_start(
      &relay.reaper, 0,
      [](void* arg) {
        auto* r = static_cast<Relay*>(arg);
        PageGate* gate = r->gate;
        if (r->out_port != 0) gate->by_relay_port_.erase(r->out_port);
        auto source = gate->per_source_.find(r->visitor.ip);
        if (source != gate->per_source_.end() && --source->second <= 0) gate->per_source_.erase(source);
        gate->relays_.remove_if([r](const std::unique_ptr<Relay>& each) { return each.get() == r; });
      },
      &relay);
}

}  // namespace exchange
