// What the address server and the phone servers of one exchange share.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "exchange/call/call_events.h"
#include "exchange/call/phone_call.h"
#include "exchange/loop/libre_timers.h"
#include "exchange/net/exchange_config.h"
#include "exchange/net/limits.h"

struct sa;
struct tcp_sock;

namespace exchange {

// Lets a test scenario decide how a phone connection is answered; nullopt leaves it to the exchange.
class AnswerPolicy {
 public:
  virtual ~AnswerPolicy() = default;
  virtual std::optional<Answer> Decide(int server, int channel, int call, int connection) = 0;
};

class PhoneServer;

struct ServerContext {
  ServerContext(const ExchangeConfig& c, FarEndRegistry& far_ends, ExchangeObserver* o, AnswerPolicy* p);
  ~ServerContext();

  void Emit(const ExchangeEvent& e) const {
    if (observer != nullptr) observer->OnEvent(e);
  }
  int ActiveCalls() const;
  int CallsFrom(uint32_t ip) const;  // calls holding a channel whose client is at `ip`

  const ExchangeConfig& config;
  LibreTimerSource timers;
  SourceLimits limits;
  ExchangeObserver* observer;
  AnswerPolicy* policy;
  DirectNumberGuard direct_guard;
  CallEnvironment call_env;
  std::vector<std::unique_ptr<PhoneServer>> phone_servers;
  // Calls that came in another way (the web page's), counted against the same limit.
  std::function<int()> other_calls;
  std::function<int(uint32_t ip)> other_calls_from;

  // Set while the exchange drains: every new phone connection is answered busy.
  bool draining = false;

  // Calls are numbered by valid address queries; connections within a call are counted from 1.
  int call_number = 0;
  int connections_in_call = 0;
};

Endpoint EndpointOf(const struct sa& address);

// Like libre's tcp_listen(), with a backlog fit for a server: libre's queues only five connections not yet
// accepted, and a burst of visitors beyond that has its connections held back by a second or more.
int ListenTcp(struct tcp_sock** listener, const struct sa& local, void (*on_connect)(const struct sa*, void*),
              void* arg);

}  // namespace exchange
