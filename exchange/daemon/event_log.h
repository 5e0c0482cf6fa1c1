// Turns the exchange's events into log lines: one summary line per call, the events worth knowing at info,
// refusals and rejects at warn (at most a few lines a second per kind, the rest counted), the rest at debug.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "exchange/call/call_events.h"
#include "exchange/daemon/logger.h"

namespace exchange {

class EventLog : public ExchangeObserver {
 public:
  static constexpr int kFloodLinesPerSecond = 5;

  // `now_ms` is a monotonic clock in milliseconds (for the rate limits).
  EventLog(Logger& logger, std::function<uint64_t()> now_ms);

  void OnEvent(const ExchangeEvent& event) override;
  // Writes how many lines of each flood were suppressed in seconds that are over; call about once a second.
  void Flush();

  // "call ended: client 192.0.2.7:50312 dial "3381" far end tone 1000, 12.3 s, in 770 out 770, lost 0 ..."
  static std::string SummaryLine(const ExchangeEvent& event, const CallSummary& summary);

  // Kinds of warning that may come in floods, each limited on its own.
  enum Flood {
    kRejectedDatagrams,
    kRefusedConnections,
    kMalformedQueries,
    kGarbage,
    kDialRefusals,
    kTurnedAway,
    kSipTrunk,
    kFloodCount
  };
  // A warning from outside the exchange's events (the SIP trunk's), limited like the others.
  void Warn(Flood flood, const std::string& text) { Limited(flood, LogLevel::kWarn, text); }

 private:
  void Limited(Flood flood, LogLevel level, const std::string& text);
  void ReportSuppressed(Flood flood, uint64_t now);

  Logger& logger_;
  std::function<uint64_t()> now_ms_;
  LogRateLimiter limiters_[kFloodCount] = {
      LogRateLimiter(kFloodLinesPerSecond), LogRateLimiter(kFloodLinesPerSecond),
      LogRateLimiter(kFloodLinesPerSecond), LogRateLimiter(kFloodLinesPerSecond),
      LogRateLimiter(kFloodLinesPerSecond), LogRateLimiter(kFloodLinesPerSecond),
      LogRateLimiter(kFloodLinesPerSecond)};
};

}  // namespace exchange
