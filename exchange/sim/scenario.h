// A scenario's knobs turned into an exchange: its configuration, its far ends and how it answers channels.
#pragma once

#include <optional>
#include <string>

#include "exchange/farend/far_end_registry.h"
#include "exchange/net/exchange_config.h"
#include "exchange/net/server_context.h"
#include "exchange_sim.h"

namespace exsim {

// Empty when the options make sense, else what is wrong with them.
std::string CheckOptions(const Options& options);

// Where the exchange listens, how its calls behave and where every dial goes.
exchange::ExchangeConfig ScenarioConfig(const Options& options);

// The far ends the scenario's dial plan names: "tone", "echo" and "silent".
void AddScenarioFarEnds(const Options& options, exchange::FarEndRegistry* registry);

// The first busy_channels connections of each call are busy; a silent phone server answers none.
class ScenarioAnswers : public exchange::AnswerPolicy {
 public:
  explicit ScenarioAnswers(const Options& options)
      : busy_channels_(options.busy_channels), silent_(options.silent_phone) {}
  std::optional<exchange::Answer> Decide(int server, int channel, int call, int connection) override;

 private:
  int busy_channels_;
  bool silent_;
};

}  // namespace exsim
