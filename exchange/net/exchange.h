// An exchange: the address server and the phone servers of one venue, on libre's event loop. Create, start
// and shut it down from the thread that runs re_main.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

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

  // Takes `next` for new calls: its dial plan, limits and call settings. Calls in progress keep what they
  // started with. Listening sockets stay as they are: returns the names of the settings that would need new
  // ones and so keep their running values until a restart.
  std::vector<std::string> Reconfigure(const ExchangeConfig& next);
  // From now on every new phone connection is answered busy; calls in progress go on.
  void StopTakingCalls();
  bool taking_calls() const { return !context_.draining; }
  // What the calls in progress have carried so far.
  CallFigures LiveFigures() const;

  const ExchangeConfig& config() const { return config_; }
  int address_port() const;
  int active_calls() const;
  int open_connections() const;
  // See SourceLimits::SetDescriptorLimit.
  void SetDescriptorLimit(int files, int reserve) { context_.limits.SetDescriptorLimit(files, reserve); }
  int server_count() const { return static_cast<int>(context_.phone_servers.size()); }
  int server_load(int server) const;
  // For the other ways in (the web page), which share the exchange's calls, limits and far ends.
  ServerContext& context() { return context_; }

 private:
  ExchangeConfig config_;
  ServerContext context_;
  std::unique_ptr<AddressServer> address_server_;
  bool running_ = false;
};

}  // namespace exchange
