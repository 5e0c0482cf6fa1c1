#include "exchange/daemon/event_log.h"

#include <cstdio>

#include "exchange/protocol/display_text.h"

namespace exchange {

namespace {

using Kind = ExchangeEvent::Kind;

constexpr const char* kFloodNames[] = {"rejected datagram",  "refused connection", "malformed address query",
                                       "unrecognised bytes", "refused dial",       "turned-away visitor",
                                       "sip trunk"};

// Where an event happened: "[server/channel call.connection] " for phone channels, "[web call N] " for the
// web page's calls.
std::string Place(const ExchangeEvent& e) {
  if (e.via == CallVia::kWeb) return "[web call " + std::to_string(e.call) + "] ";
  if (e.server < 0 || e.channel < 0) return std::string();
  return "[" + std::to_string(e.server) + "/" + std::to_string(e.channel) + " call " +
         std::to_string(e.call) + "." + std::to_string(e.connection) + "] ";
}

LogLevel LevelOf(Kind kind) {
  switch (kind) {
    case Kind::Error:
      return LogLevel::kError;
    case Kind::Started:
    case Kind::Stopped:
    case Kind::FarEndStarted:
    case Kind::FarEndEnded:
    case Kind::CallEnded:
    case Kind::WebMedia:
      return LogLevel::kInfo;
    default:
      return LogLevel::kDebug;
  }
}

}  // namespace

EventLog::EventLog(Logger& logger, std::function<uint64_t()> now_ms)
    : logger_(logger), now_ms_(std::move(now_ms)) {}

std::string EventLog::SummaryLine(const ExchangeEvent& e, const CallSummary& s) {
  char duration[32];
  std::snprintf(duration, sizeof duration, "%.1f s", static_cast<double>(s.duration_ms) / 1000.0);
  return Place(e) + "call ended: " + (s.via == CallVia::kWeb ? "web page " : "client ") + s.client +
         " dial \"" + GbkToDisplay(s.dial) + "\" far end " +
         (s.far_end.empty() ? "-" : GbkToDisplay(s.far_end)) + ", " + duration + ", datagrams in " +
         std::to_string(s.datagrams_in) + " out " + std::to_string(s.datagrams_out) + ", lost " +
         std::to_string(s.lost) + " duplicated " + std::to_string(s.duplicated) + " late " +
         std::to_string(s.late) + " rejected " + std::to_string(s.rejected) + ", ended: " + s.ended +
         FarEndFiguresSuffix(s);
}

void EventLog::OnEvent(const ExchangeEvent& e) {
  switch (e.kind) {
    case Kind::CallEnded:
      if (e.summary != nullptr) logger_.Log(LogLevel::kInfo, SummaryLine(e, *e.summary));
      return;
    case Kind::VoiceReceived:  // only rejects reach an observer that wants no voice events
      Limited(kRejectedDatagrams, LogLevel::kWarn, Place(e) + "datagram " + e.text);
      return;
    case Kind::ConnectionRefused:
      Limited(kRefusedConnections, LogLevel::kWarn, e.text);
      return;
    case Kind::AddressQueryMalformed:
      Limited(kMalformedQueries, LogLevel::kWarn, "malformed address query from " + e.peer + ": " + e.text);
      return;
    case Kind::GarbageReceived:
      // A broken dial message may still carry a direct number's password after its '#'.
      Limited(kGarbage, LogLevel::kWarn,
              Place(e) + (e.bytes.find('#') == std::string_view::npos
                              ? e.text
                              : std::to_string(e.bytes.size()) + " unrecognised bytes from " + e.peer +
                                    " (not shown: they may hold a password)"));
      return;
    case Kind::ChannelAccepted:
      // A busy channel is the client's cue to try the next one; the others turn the visitor away.
      if (e.busy && !(e.reason != nullptr && std::string_view(e.reason) == "channel_busy")) {
        Limited(
            kTurnedAway, LogLevel::kWarn,
            Place(e) + "visitor " + e.peer + " turned away busy (" + (e.reason ? e.reason : "other") + ")");
        return;
      }
      break;
    case Kind::DialRefused:
      Limited(kDialRefusals, LogLevel::kWarn, Place(e) + "from " + e.peer + ": " + e.text);
      return;
    default:
      break;
  }
  LogLevel level = LevelOf(e.kind);
  if (!logger_.Enabled(level)) return;
  logger_.Log(level, Place(e) + KindName(e.kind) + ": " + e.text);
}

void EventLog::Limited(Flood flood, LogLevel level, const std::string& text) {
  if (!logger_.Enabled(level)) return;
  uint64_t now = now_ms_();
  ReportSuppressed(flood, now);
  if (limiters_[flood].Allow(now)) logger_.Log(level, text);
}

void EventLog::ReportSuppressed(Flood flood, uint64_t now) {
  uint64_t suppressed = limiters_[flood].TakeSuppressed(now);
  if (suppressed == 0) return;
  logger_.Log(LogLevel::kWarn, "... " + std::to_string(suppressed) + " more " + kFloodNames[flood] +
                                   " line(s) suppressed (at most " + std::to_string(kFloodLinesPerSecond) +
                                   " a second)");
}

void EventLog::Flush() {
  uint64_t now = now_ms_();
  for (int f = 0; f < kFloodCount; ++f)
    ReportSuppressed(static_cast<Flood>(f), now);
}

}  // namespace exchange
