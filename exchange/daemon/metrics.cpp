#include "exchange/daemon/metrics.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

namespace exchange {

namespace {

using Kind = ExchangeEvent::Kind;

constexpr const char* kPrefix = "pelvarine_exchange_";
constexpr const char* kEndedLabels[] = {"client_hung_up", "far_end_hung_up", "refused",
                                        "dial_timeout",   "time_limit",      "garbage",
                                        "send_failed",    "shutdown",        "other"};
constexpr const char* kTurnedAwayLabels[] = {
    "channel_busy", "no_free_channel", "max_calls",  "calls_per_source", "connection_rate",
    "draining",     "connections",     "query_rate", "origin",           "other"};

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", value);
  return text;
}

class Exposition {
 public:
  // A family of the exchange's own (prefixed) or a standard one (`prefixed` false: process_*).
  void Family(const char* name, const char* type, const char* help, bool prefixed = true) {
    name_ = std::string(prefixed ? kPrefix : "") + name;
    out_ += "# HELP " + name_ + " " + help + "\n# TYPE " + name_ + " " + type + "\n";
  }
  void Sample(const std::string& labels, double value, const char* suffix = "") {
    out_ += name_ + suffix + labels + " " + Number(value) + "\n";
  }
  std::string Take() { return std::move(out_); }

 private:
  std::string out_;
  std::string name_;
};

std::string Label(const char* name, const std::string& value) {
  return std::string("{") + name + "=\"" + value + "\"}";
}

uint64_t Find(const std::map<std::string, uint64_t>& map, const char* key) {
  auto it = map.find(key);
  return it == map.end() ? 0 : it->second;
}

}  // namespace

void ReadProcessFigures(ProcessFigures* f) {
  f->open_fds = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(dir))
      f->open_fds += entry->d_name[0] != '.' ? 1 : 0;
    closedir(dir);
    --f->open_fds;  // the directory's own descriptor
  }
  struct rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0) f->max_fds = static_cast<int>(files.rlim_cur);
  long pages = 0;
  long resident = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) == 2)
      f->resident_bytes = static_cast<uint64_t>(resident) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    std::fclose(statm);
  }
  struct rusage usage;
  if (getrusage(RUSAGE_SELF, &usage) == 0) {
    f->cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  }
}

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
    case Kind::CallEnded: {
      if (e.summary == nullptr) return;
      const CallSummary& s = *e.summary;
      ++calls_by_end_[EndedLabel(s.ended)];
      ++calls_by_via_[s.via == CallVia::kWeb ? 1 : 0];
      ended_.datagrams_in += s.datagrams_in;
      ended_.datagrams_out += s.datagrams_out;
      ended_.rtp_in += s.rtp_in;
      ended_.rtp_out += s.rtp_out;
      lost_ += s.lost;
      duplicated_ += s.duplicated;
      late_ += s.late;
      double seconds = static_cast<double>(s.duration_ms) / 1000.0;
      for (size_t i = 0; i < kDurationBuckets.size(); ++i)
        duration_buckets_[i] += seconds <= kDurationBuckets[i] ? 1 : 0;
      ++durations_;
      duration_sum_ += seconds;
      return;
    }
    case Kind::AddressQueryOk:
      ++queries_ok_;
      return;
    case Kind::AddressQueryMalformed:
      ++queries_malformed_;
      return;
    case Kind::ConnectionRefused:
      if (e.reason != nullptr && std::string_view(e.reason) == "query_rate") ++queries_refused_;
      ++turned_away_[e.reason != nullptr ? e.reason : "other"];
      return;
    case Kind::ChannelAccepted:
      if (e.busy) ++turned_away_[e.reason != nullptr ? e.reason : "other"];
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

std::string ExchangeMetrics::Render(const Gauges& g) const {
  Exposition x;
  x.Family("build_info", "gauge", "Always 1; the version is in its label.");
  x.Sample(Label("version", PELVARINE_VERSION), 1);
  x.Family("calls_total", "counter", "Answered calls ended, by how they ended.");
  for (const char* label : kEndedLabels)
    x.Sample(Label("reason", label), static_cast<double>(Find(calls_by_end_, label)));
  x.Family("call_duration_seconds", "histogram", "Durations of answered calls, from the connection.");
  for (size_t i = 0; i < kDurationBuckets.size(); ++i)
    x.Sample(Label("le", Number(kDurationBuckets[i])), static_cast<double>(duration_buckets_[i]), "_bucket");
  x.Sample(Label("le", "+Inf"), static_cast<double>(durations_), "_bucket");
  x.Sample("", duration_sum_, "_sum");
  x.Sample("", static_cast<double>(durations_), "_count");
  x.Family("calls_by_way_in_total", "counter",
           "Answered calls ended, by how the visitor came in: the Windows client or the web page.");
  x.Sample(Label("via", "client"), static_cast<double>(calls_by_via_[0]));
  x.Sample(Label("via", "web"), static_cast<double>(calls_by_via_[1]));
  x.Family("active_calls", "gauge", "Calls holding a phone channel now.");
  x.Sample("", g.active_calls);
  x.Family("taking_calls", "gauge", "1 while new calls are answered, 0 while draining.");
  x.Sample("", g.taking_calls ? 1 : 0);
  x.Family("open_connections", "gauge", "Open TCP connections to the address and phone servers.");
  x.Sample("", g.open_connections);
  x.Family(
      "visitors_turned_away_total", "counter",
      "Connections answered busy or refused, by reason: channel_busy (the client tries its next channel), "
      "no_free_channel (busy on the last one), max_calls, calls_per_source (the "
      "address holds its "
      "share of the channels), connection_rate (phone connections over their rate per address), draining "
      "(stopping), "
      "connections (a connection limit), query_rate (address queries over their rate), origin (a web "
      "page's WebSocket from another site).");
  for (const char* label : kTurnedAwayLabels)
    x.Sample(Label("reason", label), static_cast<double>(Find(turned_away_, label)));
  x.Family("address_queries_total", "counter", "Address queries, by result.");
  x.Sample(Label("result", "ok"), static_cast<double>(queries_ok_));
  x.Sample(Label("result", "malformed"), static_cast<double>(queries_malformed_));
  x.Sample(Label("result", "refused"), static_cast<double>(queries_refused_));
  x.Family("dial_refusals_total", "counter", "Dial strings refused (not configured, wrong password...).");
  x.Sample("", static_cast<double>(dial_refusals_));
  x.Family("datagrams_in_total", "counter", "Voice datagrams accepted from clients.");
  x.Sample("", static_cast<double>(ended_.datagrams_in + g.live.datagrams_in));
  x.Family("datagrams_out_total", "counter", "Voice datagrams sent to clients.");
  x.Sample("", static_cast<double>(ended_.datagrams_out + g.live.datagrams_out));
  x.Family("datagrams_lost_total", "counter",
           "Client datagrams missing from the sequence (while a call runs, once too old to arrive late).");
  x.Sample("", static_cast<double>(lost_ + g.live.lost));
  x.Family("datagrams_duplicated_total", "counter", "Client datagrams received twice.");
  x.Sample("", static_cast<double>(duplicated_ + g.live.duplicated));
  x.Family("datagrams_late_total", "counter", "Client datagrams received out of order.");
  x.Sample("", static_cast<double>(late_ + g.live.late));
  x.Family("datagrams_rejected_total", "counter",
           "Datagrams refused: malformed, from another source, or for no call.");
  x.Sample("", static_cast<double>(rejected_));
  x.Family("rtp_packets_in_total", "counter", "RTP packets received from the PBX.");
  x.Sample("", static_cast<double>(ended_.rtp_in + g.live.rtp_in));
  x.Family("rtp_packets_out_total", "counter", "RTP packets sent to the PBX.");
  x.Sample("", static_cast<double>(ended_.rtp_out + g.live.rtp_out));
  if (g.sip != nullptr) {
    using Health = SipTrunkHealth;
    x.Family("sip_registration_state", "gauge", "1 for the trunk registration's current state.");
    for (Health::Registration state :
         {Health::Registration::kOff, Health::Registration::kPending, Health::Registration::kRegistered,
          Health::Registration::kRefused, Health::Registration::kFailing}) {
      x.Sample(Label("state", Health::RegistrationName(state)), g.sip->registration() == state ? 1 : 0);
    }
    x.Family("sip_responses_total", "counter", "Final SIP responses from the PBX, by method and class.");
    for (auto [method, name] :
         {std::pair{Health::Method::kInvite, "INVITE"}, std::pair{Health::Method::kRegister, "REGISTER"}}) {
      for (int hundreds = 2; hundreds <= 6; ++hundreds) {
        x.Sample(std::string("{method=\"") + name + "\",class=\"" + std::to_string(hundreds) + "xx\"}",
                 static_cast<double>(g.sip->responses(method, hundreds)));
      }
    }
  }
  x.Family("process_open_fds", "gauge", "Number of open file descriptors.", false);
  x.Sample("", g.process.open_fds);
  x.Family("process_max_fds", "gauge", "Maximum number of open file descriptors.", false);
  x.Sample("", g.process.max_fds);
  x.Family("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.", false);
  x.Sample("", static_cast<double>(g.process.resident_bytes));
  x.Family("process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.", false);
  x.Sample("", g.process.cpu_seconds);
  x.Family("process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.",
           false);
  x.Sample("", g.process.start_time_seconds);
  return x.Take();
}

}  // namespace exchange
