#include "exchange/web/web_server.h"

#include <cstring>

extern "C" {
#include <re.h>
}

#include "exchange/web/forwarded_for.h"
#include "exchange/web/origin_check.h"
#include "exchange/web/web_call.h"

namespace exchange {

namespace {

// The page's WebSocket carries a message or two a minute once the call runs; pings keep proxies and NAT
// from closing it meanwhile.
constexpr unsigned kKeepAliveMs = 20000;

std::string Text(const struct pl& pl) {
  return std::string(pl.p != nullptr ? pl.p : "", pl.l);
}

std::string Header(const struct http_msg* msg, enum http_hdrid id) {
  const struct http_hdr* h = http_msg_hdr(msg, id);
  return h != nullptr ? Text(h->val) : std::string();
}

}  // namespace

struct WebServer::Slot {
  WebServer* server = nullptr;
  uint32_t ip = 0;
  bool released = false;
  std::unique_ptr<WebCall> call;
  bool finished() const { return released; }
};

WebServer::WebServer(ServerContext& context, WebConfig config)
    : context_(context),
      config_(std::move(config)),
      gate_(PageGate::Caps{config_.page_connections_per_source, config_.max_page_connections,
                           [this](uint32_t ip) { return IsTrustedProxy(ip, config_.trusted_proxies); }},
            [this](const Endpoint& visitor, const char* why) {
              Emit(ExchangeEvent::Kind::ConnectionRefused, visitor.ToString(),
                   "web page connection from " + visitor.ToString() + " refused: " + why, "connections");
            }),
      reaper_(context.timers.NewTimer()) {}

WebServer::~WebServer() {
  Shutdown("exchange stopped");
}

bool WebServer::Start(std::string* error) {
  if (!files_.Load(config_.page_folder, error)) return false;
  struct sa local;
  if (sa_set_str(&local, config_.listen.c_str(), static_cast<uint16_t>(config_.port)) != 0) {
    *error = "web: \"" + config_.listen + "\" is not an IP address";
    return false;
  }
  if (!media_.Start(config_.listen, config_.media_port, error)) return false;
  struct sa inner;
  sa_set_str(&inner, "127.0.0.1", 0);
  int err = config_.certificate_file.empty()
                ? http_listen(&http_, &inner, &WebServer::OnRequest, this)
                : https_listen(&http_, &inner, config_.certificate_file.c_str(), &WebServer::OnRequest, this);
  std::string gate_error;
  if (err == 0) {
    // libre listens with a backlog of 5: a page's burst of relayed connections would wait for SYN retries.
    tcp_sock_listen(http_sock_tcp(http_), SOMAXCONN);
    tcp_sock_local_get(http_sock_tcp(http_), &inner);
    if (!gate_.Start(local, inner, &gate_error)) err = -1;
  }
  if (err != 0) {
    *error = "web: cannot listen on " + config_.listen + ":" + std::to_string(config_.port) +
             (config_.certificate_file.empty() ? "" : " with the certificate " + config_.certificate_file) +
             ": " + (err > 0 ? std::strerror(err) : gate_error);
    http_ = static_cast<struct http_sock*>(mem_deref(http_));
    media_.Stop();
    return false;
  }
  port_ = gate_.port();
  websock_alloc(&websock_, nullptr, nullptr);
  Emit(ExchangeEvent::Kind::Started, "",
       std::string("web page on ") + (config_.certificate_file.empty() ? "http://" : "https://") +
           config_.listen + ":" + std::to_string(port_) + "/, media on UDP " + std::to_string(media_.port()) +
           " as " + (config_.public_address.empty() ? config_.listen : config_.public_address));
  return true;
}

void WebServer::Shutdown(std::string_view why) {
  gate_.Stop();
  http_ = static_cast<struct http_sock*>(mem_deref(http_));
  for (auto& slot : calls_)
    if (slot->call) slot->call->Close(why);
  calls_.clear();
  websock_ = static_cast<struct websock*>(mem_deref(websock_));
  media_.Stop();
}

int WebServer::CallsFrom(uint32_t ip) const {
  int calls = 0;
  for (const auto& slot : calls_)
    if (slot->call && slot->call->holds_channel() && slot->call->peer_ip() == ip) ++calls;
  return calls;
}

int WebServer::load() const {
  int calls = 0;
  for (const auto& slot : calls_)
    if (slot->call && slot->call->holds_channel()) ++calls;
  return calls;
}

void WebServer::OnRequest(struct http_conn* conn, const struct http_msg* msg, void* arg) {
  static_cast<WebServer*>(arg)->Serve(conn, msg);
}

void WebServer::Serve(struct http_conn* conn, const struct http_msg* msg) {
  std::string path = Text(msg->path);
  if (pl_strcmp(&msg->met, "GET") != 0) {
    http_ereply(conn, 405, "Method Not Allowed");
    return;
  }
  if (path == "/call") {
    OpenCall(conn, msg);
    return;
  }
  const PageFile* file = files_.Find(path);
  if (file == nullptr) {
    http_ereply(conn, 404, "Not Found");
    return;
  }
  http_reply(conn, 200, "OK",
             "Content-Type: %s\r\n"
             "Content-Length: %zu\r\n"
             "Cache-Control: no-cache\r\n"
             "X-Content-Type-Options: nosniff\r\n"
             "Referrer-Policy: no-referrer\r\n"
             "Content-Security-Policy: default-src 'self'; connect-src 'self' ws: wss:\r\n"
             "\r\n"
             "%b",
             file->type.c_str(), file->body.size(), file->body.data(), file->body.size());
}

void WebServer::OpenCall(struct http_conn* conn, const struct http_msg* msg) {
  Endpoint peer = gate_.VisitorOf(*http_conn_peer(conn));
  // Behind the venue's proxy the visitor is the last address its X-Forwarded-For names.
  if (!config_.trusted_proxies.empty()) {
    const struct http_hdr* forwarded = http_msg_xhdr(msg, "X-Forwarded-For");
    if (forwarded != nullptr && IsTrustedProxy(peer.ip, config_.trusted_proxies))
      if (auto visitor = LastForwardedAddress(Text(forwarded->val))) peer = Endpoint{*visitor, 0};
  }
  const struct http_hdr* origin_header = http_msg_xhdr(msg, "Origin");
  std::string origin = origin_header != nullptr ? Text(origin_header->val) : std::string();
  if (!OriginAllowed(origin, Header(msg, HTTP_HDR_HOST), config_.origins)) {
    http_ereply(conn, 403, "Forbidden");
    Emit(
        ExchangeEvent::Kind::ConnectionRefused, peer.ToString(),
        "web call from " + peer.ToString() + " refused: origin \"" + origin.substr(0, 100) + "\" not allowed",
        "origin");
    return;
  }
  int open = 0;
  for (const auto& slot : calls_)
    if (!slot->released) ++open;
  if (open >= config_.max_calls || !context_.limits.OpenCallConnection(peer.ip)) {
    http_ereply(conn, 503, "Service Unavailable");
    Emit(ExchangeEvent::Kind::ConnectionRefused, peer.ToString(),
         "web call from " + peer.ToString() + " refused: too many connections", "connections");
    return;
  }
  auto slot = std::make_unique<Slot>();
  slot->server = this;
  slot->ip = peer.ip;
  struct websock_conn* socket = nullptr;
  if (websock_accept(&socket, websock_, conn, msg, kKeepAliveMs, &WebServer::OnSocketMessage,
                     &WebServer::OnSocketClosed, slot.get()) != 0) {
    context_.limits.CloseConnection(peer.ip);
    http_ereply(conn, 400, "Bad Request");
    return;
  }
  CallContext call;
  call.via = CallVia::kWeb;
  call.server = 0;
  call.call = ++context_.call_number;
  call.connection = 1;
  call.peer = peer;
  call.tcp_port = static_cast<uint16_t>(port_);
  call.udp_port = static_cast<uint16_t>(media_.port());
  Answer answer = Answer::kAnswer;
  if (context_.draining) {
    answer = Answer::kBusy;
    call.busy_reason = "draining";
  } else if (context_.ActiveCalls() >= context_.config.limits.max_calls) {
    answer = Answer::kBusy;
    call.busy_reason = "max_calls";
  } else if (context_.CallsFrom(peer.ip) >= context_.config.limits.calls_per_source) {
    answer = Answer::kBusy;
    call.busy_reason = "calls_per_source";
  }
  WebCall::Parts parts;
  parts.env = &context_.call_env;
  parts.config = &config_;
  parts.media_port = &media_;
  parts.media_address = config_.public_address.empty() ? config_.listen : config_.public_address;
  parts.on_closed = [this, raw = slot.get()] { Release(*raw); };
  Slot* raw = slot.get();
  calls_.push_back(std::move(slot));
  raw->call = std::make_unique<WebCall>(parts, socket, call, answer);
}

void WebServer::OnSocketMessage(const struct websock_hdr* hdr, struct mbuf* mb, void* arg) {
  auto* slot = static_cast<Slot*>(arg);
  if (slot->released || !slot->call) return;
  if (hdr->opcode != WEBSOCK_TEXT || mbuf_get_left(mb) > slot->server->config_.max_message_bytes) {
    slot->call->Close("web page sent a message that is not text or too long");
  } else {
    slot->call->OnPageMessage(
        std::string_view(reinterpret_cast<const char*>(mbuf_buf(mb)), mbuf_get_left(mb)));
  }
  if (slot->call->finished()) slot->server->Release(*slot);
}

void WebServer::OnSocketClosed(int err, void* arg) {
  auto* slot = static_cast<Slot*>(arg);
  if (slot->call)
    slot->call->OnPageClosed(err != 0 ? std::string("connection error: ") + std::strerror(err)
                                      : "page closed the connection");
  slot->server->Release(*slot);
}

void WebServer::Release(Slot& slot) {
  if (slot.released) return;
  slot.released = true;
  context_.limits.CloseConnection(slot.ip);
  ReapSoon();
}

void WebServer::ReapSoon() {
  if (reaper_->pending()) return;
  reaper_->Start(0,
                 [this] { calls_.remove_if([](const std::unique_ptr<Slot>& s) { return s->finished(); }); });
}

void WebServer::Emit(ExchangeEvent::Kind kind, std::string peer, std::string text, const char* reason) const {
  ExchangeEvent e;
  e.kind = kind;
  e.reason = reason;
  e.peer = std::move(peer);
  e.port = port_;
  e.text = std::move(text);
  context_.Emit(e);
}

}  // namespace exchange
