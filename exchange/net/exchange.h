// An exchange: the address server and the phone servers of one venue, on libre's event loop. Create, start
// and shut it down from the thread that runs re_main.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "exchange/call/call_events.h"
#include "exchange/farend/far_end_registry.h"
#include "exchange/net/exchange_config.h"
#include "exchange/net/server_context.h"

namespace exchange {

class AddressServer;

class Exchange {
 public:
  Exchange(ExchangeConfig config, FarEndRegistry& far_ends, ExchangeObserver* observer,
           AnswerPolicy* policy = nullptr);
  ~Exchange();
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  // Binds every listener; false with *error set when any cannot be bound (nothing stays bound then).
  bool Start(std::string* error);
  // Ends every call by closing its connection and stops listening. Idempotent.
  void Shutdown(std::string_view why);

  const ExchangeConfig& config() const { return config_; }
  int address_port() const;
  int active_calls() const;
  int open_connections() const;
  int server_count() const { return static_cast<int>(context_.phone_servers.size()); }
  int server_load(int server) const;

 private:
  ExchangeConfig config_;
  ServerContext context_;
  std::unique_ptr<AddressServer> address_server_;
  bool running_ = false;
};

}  // namespace exchange
