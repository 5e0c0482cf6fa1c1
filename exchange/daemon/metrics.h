// The exchange's counters, kept from its events and written in Prometheus' text format for GET /metrics.
// Voice counts (datagrams, lost, duplicated, late) are added from each call's summary when the call ends;
// rejected datagrams are counted as they arrive.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "exchange/call/call_events.h"

namespace exchange {

class ExchangeMetrics : public ExchangeObserver {
 public:
  // What is read from the exchange at the moment of the request.
  struct Gauges {
    int active_calls = 0;
    int open_connections = 0;
  };

  void OnEvent(const ExchangeEvent& event) override;
  std::string Render(const Gauges& gauges) const;

  // The label value for how a call ended, from the free text of its summary: a small fixed set, so the
  // series cannot grow with whatever a far end says.
  static const char* EndedLabel(std::string_view ended);

 private:
  std::map<std::string, uint64_t> calls_by_end_;
  uint64_t queries_ok_ = 0;
  uint64_t queries_malformed_ = 0;
  uint64_t queries_refused_ = 0;
  uint64_t connections_refused_ = 0;
  uint64_t dial_refusals_ = 0;
  uint64_t datagrams_in_ = 0;
  uint64_t datagrams_out_ = 0;
  uint64_t lost_ = 0;
  uint64_t duplicated_ = 0;
  uint64_t late_ = 0;
  uint64_t rejected_ = 0;
};

}  // namespace exchange
