#include "exchange/net/phone_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <climits>
#include <cstring>

extern "C" {
#include <re.h>
}

namespace exchange {

using Kind = ExchangeEvent::Kind;

namespace {

// A client that vanishes without a FIN (power cut, roaming away) would hold its channel and its PBX call for
// ever: the kernel probes an idle connection after 30 s and gives it up after four unanswered probes.
void KeepAlive(int fd) {
  int on = 1, idle = 30, interval = 10, count = 4;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

}  // namespace

// One client connection: the libre socket and the call it carries. It is the call's CallLink.
class PhoneServer::Connection : public CallLink {
 public:
  Connection(PhoneServer& server, int channel, const Endpoint& peer)
      : server_(server), channel_(channel), peer_(peer) {}
  ~Connection() override {
    call_.reset();  // the call may still close the connection while it goes
    mem_deref(tcp_);
  }

  bool Accept(struct tcp_sock* listener) {
    if (tcp_accept(&tcp_, listener, nullptr, &Connection::OnReceive, &Connection::OnClose, this) != 0)
      return false;
    KeepAlive(tcp_conn_fd(tcp_));
    return true;
  }
  void Begin(const CallEnvironment& env, const CallContext& context, Answer answer) {
    call_ = std::make_unique<PhoneCall>(env, context, *this, answer);
  }

  PhoneCall* call() const { return call_.get(); }
  int fd() const { return tcp_ != nullptr ? tcp_conn_fd(tcp_) : -1; }
  int channel() const { return channel_; }
  const Endpoint& peer() const { return peer_; }
  bool finished() const { return !call_ || call_->finished(); }

  bool SendChunk(std::string_view bytes) override {
    if (tcp_ == nullptr) return false;
    struct mbuf* mb = mbuf_alloc(bytes.size());
    if (mb == nullptr) return false;
    mbuf_write_mem(mb, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    mb->pos = 0;
    int err = tcp_send(tcp_, mb);
    mem_deref(mb);
    return err == 0;
  }
  bool SendVoice(const Endpoint& to, const uint8_t* data, size_t size) override {
    return server_.SendVoice(channel_, to, data, size);
  }
  void CloseConnection() override {
    // libre may be inside this connection's handler: stop hearing it now, free it when reaped.
    if (tcp_ != nullptr) tcp_set_handlers(tcp_, nullptr, nullptr, nullptr, nullptr);
    Released();
  }

 private:
  static void OnReceive(struct mbuf* mb, void* arg) {
    auto* self = static_cast<Connection*>(arg);
    if (self->call_)
      self->call_->OnClientBytes(
          std::string_view(reinterpret_cast<const char*>(mbuf_buf(mb)), mbuf_get_left(mb)));
    if (self->finished()) self->Released();
  }
  static void OnClose(int err, void* arg) {
    auto* self = static_cast<Connection*>(arg);
    if (self->call_)
      self->call_->OnClientClosed(err != 0 ? std::string("connection error: ") + std::strerror(err)
                                           : "client closed the connection");
    self->Released();
  }
  void Released() {
    if (released_) return;
    released_ = true;
    server_.context_.limits.CloseConnection(peer_.ip);
    server_.ReapSoon();
  }

  PhoneServer& server_;
  int channel_;
  Endpoint peer_;
  struct tcp_conn* tcp_ = nullptr;
  std::unique_ptr<PhoneCall> call_;
  bool released_ = false;
};

PhoneServer::PhoneServer(ServerContext& context, int index, PhoneServerAddress address)
    : context_(context),
      index_(index),
      address_(std::move(address)),
      public_address_(address_.public_address.empty() ? address_.listen : address_.public_address),
      reaper_(context.timers.NewTimer()) {}

PhoneServer::~PhoneServer() {
  Shutdown("exchange stopped");
  mem_deref(send_buffer_);
}

int PhoneServer::tcp_port(int channel) const {
  return context_.config.phone_base_port + 2 * channel;
}

int PhoneServer::udp_port(int channel) const {
  return context_.config.voice_port > 0 ? context_.config.voice_port
                                        : context_.config.phone_base_port + 2 * channel + 1;
}

bool PhoneServer::Start(std::string* error) {
  send_buffer_ = mbuf_alloc(kServerVoiceSize);
  const std::string& ip = address_.listen;
  auto fail = [&](const char* what, int port, int err) {
    *error = std::string("phone server ") + ip + ": cannot bind " + what + " port " + std::to_string(port) +
             ": " + std::strerror(err);
    return false;
  };
  channels_.resize(static_cast<size_t>(context_.config.channels));
  for (int k = 0; k < context_.config.channels; ++k) {
    Channel& ch = channels_[static_cast<size_t>(k)];
    ch.server = this;
    ch.index = k;
    struct sa local;
    if (sa_set_str(&local, ip.c_str(), static_cast<uint16_t>(tcp_port(k))) != 0) {
      *error = "phone server: \"" + ip + "\" is not an IPv4 address";
      return false;
    }
    if (int err = ListenTcp(&ch.listener, local, &PhoneServer::OnConnect, &ch))
      return fail("TCP", tcp_port(k), err);
    if (context_.config.voice_port > 0) continue;
    sa_set_port(&local, static_cast<uint16_t>(udp_port(k)));
    if (int err = udp_listen(&ch.voice, &local, &PhoneServer::OnVoice, &ch))
      return fail("UDP", udp_port(k), err);
    udp_sockbuf_set(ch.voice, 1 << 20);
  }
  if (context_.config.voice_port > 0) {
    struct sa local;
    sa_set_str(&local, ip.c_str(), static_cast<uint16_t>(context_.config.voice_port));
    if (int err = udp_listen(&shared_voice_, &local, &PhoneServer::OnSharedVoice, this))
      return fail("UDP", context_.config.voice_port, err);
    udp_sockbuf_set(shared_voice_, 1 << 20);
  }
  return true;
}

void PhoneServer::Shutdown(std::string_view why) {
  for (Channel& ch : channels_)
    ch.listener = static_cast<struct tcp_sock*>(mem_deref(ch.listener));
  for (auto& c : connections_) {
    if (c->call()) c->call()->Close(why);
  }
  connections_.clear();
  latched_sources_.clear();
  for (Channel& ch : channels_)
    ch.holder = nullptr;
  for (Channel& ch : channels_)
    ch.voice = static_cast<struct udp_sock*>(mem_deref(ch.voice));
  shared_voice_ = static_cast<struct udp_sock*>(mem_deref(shared_voice_));
}

int PhoneServer::CallsFrom(uint32_t ip) const {
  return static_cast<int>(std::count_if(connections_.begin(), connections_.end(), [ip](const auto& c) {
    return c->peer().ip == ip && c->call() != nullptr && c->call()->holds_channel();
  }));
}

int PhoneServer::load() const {
  return static_cast<int>(std::count_if(connections_.begin(), connections_.end(), [](const auto& c) {
    return c->call() != nullptr && c->call()->holds_channel();
  }));
}

void PhoneServer::OnConnect(const struct sa* peer, void* arg) {
  auto* ch = static_cast<Channel*>(arg);
  ch->server->Accept(*ch, EndpointOf(*peer));
}

void PhoneServer::Refuse(const Channel& channel, const Endpoint& peer, const char* reason, std::string text) {
  ExchangeEvent e;
  e.kind = Kind::ConnectionRefused;
  e.server = index_;
  e.channel = channel.index;
  e.peer = peer.ToString();
  e.port = tcp_port(channel.index);
  e.reason = reason;
  e.text = std::move(text);
  context_.Emit(e);
}

void PhoneServer::Accept(Channel& channel, const Endpoint& peer) {
  ServerContext& ctx = context_;
  RateBuckets::Take rate = ctx.limits.TakePhoneConnection(peer.ip, ctx.timers.NowMs());
  if (rate != RateBuckets::Take::kTaken) {
    tcp_reject(channel.listener);
    if (rate == RateBuckets::Take::kRefusedAgain) return;  // said once a minute
    Refuse(channel, peer, "connection_rate",
           "phone connections from " + peer.ToString() + " refused: more than " +
               std::to_string(ctx.config.limits.connections_per_source_per_minute) +
               " a minute (not said again for a minute)");
    return;
  }
  if (!ctx.limits.OpenCallConnection(peer.ip)) {
    tcp_reject(channel.listener);
    Refuse(channel, peer, "connections",
           "phone connection from " + peer.ToString() + " refused: too many connections");
    return;
  }
  auto c = std::make_unique<Connection>(*this, channel.index, peer);
  if (!c->Accept(channel.listener)) {
    ctx.limits.CloseConnection(peer.ip);
    tcp_reject(channel.listener);
    return;
  }
  if (!ctx.limits.DescriptorFree(c->fd())) {
    c.reset();
    ctx.limits.CloseConnection(peer.ip);
    Refuse(channel, peer, "connections",
           "phone connection from " + peer.ToString() + " refused: file descriptors nearly used up");
    return;
  }
  CallContext call;
  call.server = index_;
  call.channel = channel.index;
  call.call = ctx.call_number;
  // Counted per address query; a client that reconnects for weeks without asking again must not overflow it.
  ctx.connections_in_call = ctx.connections_in_call == INT_MAX ? 1 : ctx.connections_in_call + 1;
  call.connection = ctx.connections_in_call;
  call.peer = peer;
  call.tcp_port = static_cast<uint16_t>(tcp_port(channel.index));
  call.udp_port = static_cast<uint16_t>(udp_port(channel.index));
  Answer answer = Decide(channel, call, &call.busy_reason);
  Connection* raw = c.get();
  connections_.push_back(std::move(c));
  if (answer == Answer::kAnswer) channel.holder = raw;
  raw->Begin(ctx.call_env, call, answer);
}

Answer PhoneServer::Decide(const Channel& channel, const CallContext& call, const char** busy_reason) {
  if (context_.policy != nullptr) {
    *busy_reason = "policy";
    if (auto answer = context_.policy->Decide(index_, channel.index, context_.call_number, call.connection))
      return *answer;
  }
  *busy_reason = "draining";
  if (context_.draining) return Answer::kBusy;
  // Busy on one channel sends the client on to the next; on the last one, it has none left.
  *busy_reason = channel.index + 1 < context_.config.channels ? "channel_busy" : "no_free_channel";
  for (const auto& c : connections_) {
    if (c->channel() == channel.index && c->call() != nullptr && c->call()->holds_channel())
      return Answer::kBusy;
  }
  *busy_reason = "max_calls";
  if (context_.ActiveCalls() >= context_.config.limits.max_calls) return Answer::kBusy;
  // One address must not take every channel: the next visitor would hear "busy" on all four.
  *busy_reason = "calls_per_source";
  if (context_.CallsFrom(call.peer.ip) >= context_.config.limits.calls_per_source) return Answer::kBusy;
  *busy_reason = nullptr;
  return Answer::kAnswer;
}

void PhoneServer::SetPublicAddress(const std::string& address) {
  public_address_ = address.empty() ? address_.listen : address;
}

void PhoneServer::AddFigures(CallFigures* figures) const {
  for (const auto& c : connections_) {
    if (c->call() != nullptr && !c->call()->finished()) c->call()->AddFigures(figures);
  }
}

void PhoneServer::OnVoice(const struct sa* src, struct mbuf* mb, void* arg) {
  auto* ch = static_cast<Channel*>(arg);
  ch->server->DeliverVoice(ch->index, EndpointOf(*src), mb);
}

void PhoneServer::OnSharedVoice(const struct sa* src, struct mbuf* mb, void* arg) {
  static_cast<PhoneServer*>(arg)->DeliverVoice(-1, EndpointOf(*src), mb);
}

namespace {
uint64_t SourceKey(const Endpoint& e) {
  return (uint64_t{e.ip} << 16) | e.port;
}
}  // namespace

void PhoneServer::DeliverVoice(int channel, const Endpoint& from, struct mbuf* mb) {
  std::string_view datagram(reinterpret_cast<const char*>(mbuf_buf(mb)), mbuf_get_left(mb));
  if (Connection* c = VoiceTarget(channel, from)) {
    PhoneCall* target = c->call();
    target->OnVoiceDatagram(from, datagram);
    if (channel < 0 && target->latched() && target->voice_source() == from)
      latched_sources_[SourceKey(from)] = c;
    if (target->finished()) ReapSoon();
    return;
  }
  ExchangeEvent e;
  e.kind = Kind::VoiceReceived;
  e.server = index_;
  e.channel = channel;
  e.peer = from.ToString();
  e.port = channel >= 0 ? udp_port(channel) : context_.config.voice_port;
  e.bytes = datagram.substr(0, 2048);
  e.text =
      "from " + e.peer + ", " + std::to_string(datagram.size()) + " bytes, rejected: no call on this port";
  context_.Emit(e);
}

PhoneServer::Connection* PhoneServer::VoiceTarget(int channel, const Endpoint& from) {
  auto holding = [](const Connection* c) {
    return c != nullptr && c->call() != nullptr && c->call()->holds_channel();
  };
  if (channel >= 0) {
    // The channel's call takes its port's datagrams and judges them itself.
    Channel& ch = channels_[static_cast<size_t>(channel)];
    if (holding(ch.holder)) return ch.holder;
    ch.holder = nullptr;
    for (const auto& c : connections_) {
      if (c->channel() == channel && holding(c.get())) ch.holder = c.get();
    }
    return ch.holder;
  }
  auto it = latched_sources_.find(SourceKey(from));
  if (it != latched_sources_.end()) {
    Connection* c = it->second;
    if (holding(c) && c->call()->latched() && c->call()->voice_source() == from) return c;
    latched_sources_.erase(it);
  }
  return NewSourceTarget(from);
}

PhoneServer::Connection* PhoneServer::NewSourceTarget(const Endpoint& from) {
  // A source no call has latched to, on the shared port: it goes to a call of its address that is waiting
  // for its first datagram, before one whose source fell silent; first to a call whose client announced
  // this very address (it is not behind NAT), then to the call that dialled first (its client started
  // talking first). Never to the newest call: two visitors behind one NAT would hear each other.
  Connection* best = nullptr;
  auto rank = [&](const Connection* c) {
    const PhoneCall* call = c->call();
    int r = call->latched() ? 0 : 2;
    if (call->local_address() == from.IpString()) ++r;
    return r;
  };
  for (const auto& c : connections_) {
    PhoneCall* call = c->call();
    if (call == nullptr || !call->AcceptsVoiceFrom(from)) continue;
    if (best == nullptr || rank(c.get()) > rank(best) ||
        (rank(c.get()) == rank(best) && call->dialled_ms() < best->call()->dialled_ms()))
      best = c.get();
  }
  return best;
}

bool PhoneServer::SendVoice(int channel, const Endpoint& to, const uint8_t* data, size_t size) {
  struct udp_sock* sock =
      shared_voice_ != nullptr ? shared_voice_ : channels_[static_cast<size_t>(channel)].voice;
  if (sock == nullptr) return false;
  struct sa dst;
  sa_set_in(&dst, to.ip, to.port);
  send_buffer_->pos = 0;
  send_buffer_->end = 0;
  mbuf_write_mem(send_buffer_, data, size);
  send_buffer_->pos = 0;
  return udp_send(sock, &dst, send_buffer_) == 0;
}

void PhoneServer::ReapSoon() {
  if (reaper_->pending()) return;
  reaper_->Start(0, [this] {
    for (Channel& ch : channels_) {
      if (ch.holder != nullptr && ch.holder->finished()) ch.holder = nullptr;
    }
    for (auto it = latched_sources_.begin(); it != latched_sources_.end();)
      it = it->second->finished() ? latched_sources_.erase(it) : std::next(it);
    connections_.remove_if([](const std::unique_ptr<Connection>& c) { return c->finished(); });
  });
}

}  // namespace exchange
