#include "exchange/net/exchange.h"

extern "C" {
#include <re.h>
}

#include "exchange/net/address_server.h"
#include "exchange/net/phone_server.h"

namespace exchange {

Endpoint EndpointOf(const struct sa& address) {
  Endpoint e;
  if (sa_af(&address) == AF_INET) {
    e.ip = sa_in(&address);
    e.port = sa_port(&address);
  }
  return e;
}

int ListenTcp(struct tcp_sock** listener, const struct sa& local, void (*on_connect)(const struct sa*, void*),
              void* arg) {
  struct tcp_sock* ts = nullptr;
  int err = tcp_sock_alloc(&ts, &local, on_connect, arg);
  if (err == 0) err = tcp_sock_bind(ts, &local);
  if (err == 0) err = tcp_sock_listen(ts, SOMAXCONN);
  if (err != 0) {
    mem_deref(ts);
    return err;
  }
  *listener = ts;
  return 0;
}

ServerContext::ServerContext(const ExchangeConfig& c, FarEndRegistry& far_ends, ExchangeObserver* o,
                             AnswerPolicy* p)
    : config(c), limits(c.limits), observer(o), policy(p) {
  call_env.timers = &timers;
  call_env.dial_plan = std::make_shared<DialPlan>(config.dial_plan);
  call_env.far_ends = &far_ends;
  call_env.observer = observer;
  call_env.settings = std::make_shared<CallSettings>(config.call);
  call_env.direct_guard = &direct_guard;
  call_env.dial_rate = &limits.dials();
}

ServerContext::~ServerContext() = default;

int ServerContext::CallsFrom(uint32_t ip) const {
  int calls = 0;
  for (const auto& server : phone_servers)
    calls += server->CallsFrom(ip);
  if (other_calls_from) calls += other_calls_from(ip);
  return calls;
}

int ServerContext::ActiveCalls() const {
  int calls = 0;
  for (const auto& server : phone_servers)
    calls += server->load();
  if (other_calls) calls += other_calls();
  return calls;
}

Exchange::Exchange(ExchangeConfig config, FarEndRegistry& far_ends, ExchangeObserver* observer,
                   AnswerPolicy* policy)
    : config_(std::move(config)), context_(config_, far_ends, observer, policy) {}

Exchange::~Exchange() {
  Shutdown("exchange stopped");
}

bool Exchange::Start(std::string* error) {
  for (size_t i = 0; i < config_.phone_servers.size(); ++i) {
    context_.phone_servers.push_back(
        std::make_unique<PhoneServer>(context_, static_cast<int>(i), config_.phone_servers[i]));
    if (!context_.phone_servers.back()->Start(error)) {
      context_.phone_servers.clear();
      return false;
    }
  }
  address_server_ = std::make_unique<AddressServer>(context_);
  if (!address_server_->Start(error)) {
    address_server_.reset();
    context_.phone_servers.clear();
    return false;
  }
  running_ = true;
  ExchangeEvent e;
  e.kind = ExchangeEvent::Kind::Started;
  e.port = address_server_->port();
  e.text = "address server " + config_.address_listen + ":" + std::to_string(e.port) + ", " +
           std::to_string(config_.phone_servers.size()) + " phone-server address(es)";
  context_.Emit(e);
  return true;
}

void Exchange::Shutdown(std::string_view why) {
  if (!running_) return;
  running_ = false;
  if (address_server_) address_server_->Shutdown();
  for (auto& server : context_.phone_servers)
    server->Shutdown(why);
  ExchangeEvent e;
  e.kind = ExchangeEvent::Kind::Stopped;
  e.text = std::string(why);
  context_.Emit(e);
  address_server_.reset();
  context_.phone_servers.clear();
}

std::vector<std::string> Exchange::Reconfigure(const ExchangeConfig& next) {
  std::vector<std::string> kept;
  auto keep = [&kept](bool same, const char* name) {
    if (!same) kept.push_back(name);
  };
  keep(next.address_listen == config_.address_listen, "address_listen");
  keep(next.address_port == config_.address_port, "address_port");
  bool same_servers = next.phone_servers.size() == config_.phone_servers.size();
  for (size_t i = 0; same_servers && i < next.phone_servers.size(); ++i)
    same_servers = next.phone_servers[i].listen == config_.phone_servers[i].listen;
  keep(same_servers, "phone_servers");
  keep(next.phone_base_port == config_.phone_base_port, "base_port");
  keep(next.voice_port == config_.voice_port, "voice_port");
  keep(next.channels == config_.channels, "channels");
  if (same_servers) {
    config_.phone_servers = next.phone_servers;
    for (size_t i = 0; i < context_.phone_servers.size(); ++i)
      context_.phone_servers[i]->SetPublicAddress(next.phone_servers[i].public_address);
  }
  config_.address_timeout_ms = next.address_timeout_ms;
  config_.address_silent = next.address_silent;
  config_.limits = next.limits;
  config_.call = next.call;
  config_.dial_plan = next.dial_plan;
  context_.limits.SetLimits(config_.limits);
  // Calls in progress keep the plan and settings they hold; new ones take these.
  context_.call_env.dial_plan = std::make_shared<DialPlan>(config_.dial_plan);
  context_.call_env.settings = std::make_shared<CallSettings>(config_.call);
  return kept;
}

void Exchange::StopTakingCalls() {
  context_.draining = true;
}

CallFigures Exchange::LiveFigures() const {
  CallFigures figures;
  for (const auto& server : context_.phone_servers)
    server->AddFigures(&figures);
  return figures;
}

int Exchange::address_port() const {
  return address_server_ ? address_server_->port() : 0;
}

int Exchange::active_calls() const {
  return context_.ActiveCalls();
}

int Exchange::open_connections() const {
  return context_.limits.open_connections();
}

int Exchange::server_load(int server) const {
  return context_.phone_servers.at(static_cast<size_t>(server))->load();
}

}  // namespace exchange
