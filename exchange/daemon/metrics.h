// The exchange's counters, kept from its events and written in Prometheus' text format for GET /metrics.
// Datagram and RTP counts are those of ended calls plus, at each request, what the calls in progress have
// carried so far, so they move while calls run; lost, duplicated and late datagrams are added when a call
// ends (a late datagram takes a loss back). Every metric is listed in docs/running-the-exchange.md.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "exchange/call/call_events.h"
#include "exchange/farend/sip/sip_trunk_health.h"

namespace exchange {

// The process's own figures, Prometheus' standard process_* metrics.
struct ProcessFigures {
  int open_fds = 0;
  int max_fds = 0;
  uint64_t resident_bytes = 0;
  double cpu_seconds = 0;
  double start_time_seconds = 0;  // since the Unix epoch
};

// Reads them from /proc and getrusage; `start_time_seconds` is left as given.
void ReadProcessFigures(ProcessFigures* figures);

class ExchangeMetrics : public ExchangeObserver {
 public:
  // What is read from the exchange at the moment of the request.
  struct Gauges {
    int active_calls = 0;
    int open_connections = 0;
    bool taking_calls = true;
    CallFigures live;
    const SipTrunkHealth* sip = nullptr;  // null without a [sip] section
    ProcessFigures process;
  };

  // Upper bounds of the call-duration histogram's buckets, in seconds.
  static constexpr std::array<double, 10> kDurationBuckets = {1, 5, 10, 30, 60, 120, 300, 600, 1800, 3600};

  void OnEvent(const ExchangeEvent& event) override;
  std::string Render(const Gauges& gauges) const;

  // The label value for how a call ended, from the free text of its summary: a small fixed set, so the
  // series cannot grow with whatever a far end says.
  static const char* EndedLabel(std::string_view ended);

 private:
  std::map<std::string, uint64_t> calls_by_end_;
  std::map<std::string, uint64_t> turned_away_;
  uint64_t calls_by_via_[2] = {};  // client, web
  uint64_t queries_ok_ = 0;
  uint64_t queries_malformed_ = 0;
  uint64_t queries_refused_ = 0;
  uint64_t dial_refusals_ = 0;
  CallFigures ended_;
  uint64_t lost_ = 0;
  uint64_t duplicated_ = 0;
  uint64_t late_ = 0;
  uint64_t rejected_ = 0;
  std::array<uint64_t, kDurationBuckets.size()> duration_buckets_{};
  uint64_t durations_ = 0;
  double duration_sum_ = 0;
};

}  // namespace exchange
