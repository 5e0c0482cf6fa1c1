#include "exchange/daemon/metrics.h"

namespace exchange {

namespace {

using Kind = ExchangeEvent::Kind;

constexpr const char* kPrefix = "pelvarine_exchange_";
constexpr const char* kEndedLabels[] = {"client_hung_up", "far_end_hung_up", "refused",
                                        "dial_timeout",   "time_limit",      "garbage",
                                        "send_failed",    "shutdown",        "other"};

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

void Family(std::string* out, const char* name, const char* type, const char* help) {
  *out += std::string("# HELP ") + kPrefix + name + " " + help + "\n";
  *out += std::string("# TYPE ") + kPrefix + name + " " + type + "\n";
}

void Sample(std::string* out, const char* name, const std::string& labels, uint64_t value) {
  *out += std::string(kPrefix) + name + labels + " " + std::to_string(value) + "\n";
}

}  // namespace

const char* ExchangeMetrics::EndedLabel(std::string_view ended) {
  if (ended == "client hung up") return "client_hung_up";
  if (StartsWith(ended, "far end")) return "far_end_hung_up";
  if (StartsWith(ended, "refused")) return "refused";
  if (ended == "nothing dialled in time") return "dial_timeout";
  if (ended == "call time limit reached") return "time_limit";
  if (ended == "too many unrecognised bytes") return "garbage";
  if (ended == "connection failed") return "send_failed";
  if (StartsWith(ended, "exchange")) return "shutdown";
  return "other";
}

void ExchangeMetrics::OnEvent(const ExchangeEvent& e) {
  switch (e.kind) {
    case Kind::CallEnded:
      if (e.summary == nullptr) return;
      ++calls_by_end_[EndedLabel(e.summary->ended)];
      datagrams_in_ += e.summary->datagrams_in;
      datagrams_out_ += e.summary->datagrams_out;
      lost_ += e.summary->lost;
      duplicated_ += e.summary->duplicated;
      late_ += e.summary->late;
      return;
    case Kind::AddressQueryOk:
      ++queries_ok_;
      return;
    case Kind::AddressQueryMalformed:
      ++queries_malformed_;
      return;
    case Kind::ConnectionRefused:
      // The address server refuses a well-formed query over its rate; everything else is a connection limit.
      if (StartsWith(e.text, "address query"))
        ++queries_refused_;
      else
        ++connections_refused_;
      return;
    case Kind::DialRefused:
      ++dial_refusals_;
      return;
    case Kind::VoiceReceived:  // reaches this observer only when rejected
      ++rejected_;
      return;
    default:
      return;
  }
}

std::string ExchangeMetrics::Render(const Gauges& gauges) const {
  std::string out;
  Family(&out, "calls_total", "counter", "Calls ended, by how they ended.");
  for (const char* label : kEndedLabels) {
    auto it = calls_by_end_.find(label);
    Sample(&out, "calls_total", std::string("{ended=\"") + label + "\"}",
           it == calls_by_end_.end() ? 0 : it->second);
  }
  Family(&out, "active_calls", "gauge", "Calls holding a phone channel now.");
  Sample(&out, "active_calls", "", static_cast<uint64_t>(gauges.active_calls));
  Family(&out, "open_connections", "gauge", "Open TCP connections to the address and phone servers.");
  Sample(&out, "open_connections", "", static_cast<uint64_t>(gauges.open_connections));
  Family(&out, "address_queries_total", "counter", "Address queries, by result.");
  Sample(&out, "address_queries_total", "{result=\"ok\"}", queries_ok_);
  Sample(&out, "address_queries_total", "{result=\"malformed\"}", queries_malformed_);
  Sample(&out, "address_queries_total", "{result=\"refused\"}", queries_refused_);
  Family(&out, "connections_refused_total", "counter", "Connections turned away by a connection limit.");
  Sample(&out, "connections_refused_total", "", connections_refused_);
  Family(&out, "dial_refusals_total", "counter", "Dial strings refused (not configured, wrong password...).");
  Sample(&out, "dial_refusals_total", "", dial_refusals_);
  Family(&out, "datagrams_in_total", "counter",
         "Voice datagrams accepted from clients, counted when calls end.");
  Sample(&out, "datagrams_in_total", "", datagrams_in_);
  Family(&out, "datagrams_out_total", "counter", "Voice datagrams sent to clients, counted when calls end.");
  Sample(&out, "datagrams_out_total", "", datagrams_out_);
  Family(&out, "datagrams_lost_total", "counter",
         "Client datagrams missing from the sequence, counted when calls end.");
  Sample(&out, "datagrams_lost_total", "", lost_);
  Family(&out, "datagrams_duplicated_total", "counter",
         "Client datagrams received twice, counted when calls end.");
  Sample(&out, "datagrams_duplicated_total", "", duplicated_);
  Family(&out, "datagrams_late_total", "counter",
         "Client datagrams received out of order, counted when calls end.");
  Sample(&out, "datagrams_late_total", "", late_);
  Family(&out, "datagrams_rejected_total", "counter",
         "Datagrams refused: malformed, from another source, or for no call.");
  Sample(&out, "datagrams_rejected_total", "", rejected_);
  return out;
}

}  // namespace exchange
