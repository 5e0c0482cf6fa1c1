#include "scenario.h"

#include <arpa/inet.h>

#include <limits>

#include "exchange/farend/builtin_far_ends.h"
#include "hostile_material.h"

namespace exsim {

namespace {

// The far end of kNone: answers and never says a word, so the client hears nothing and its sound stays off.
class SilentFarEnd : public exchange::FarEnd {
 public:
  explicit SilentFarEnd(exchange::FarEndListener& listener) : listener_(listener) {}
  void Start() override { listener_.OnFarEndAnswered(); }
  void OnClientVoice(int64_t, const uint8_t*) override {}
  bool ReadBlock(uint8_t*) override { return false; }

 private:
  exchange::FarEndListener& listener_;
};

class SilentFactory : public exchange::FarEndFactory {
 public:
  std::string CheckTarget(std::string_view) const override { return ""; }
  std::unique_ptr<exchange::FarEnd> Create(const exchange::FarEndRequest&,
                                           exchange::FarEndListener& listener) override {
    return std::make_unique<SilentFarEnd>(listener);
  }
};

bool IsIpv4(const std::string& text) {
  in_addr ignored{};
  return inet_pton(AF_INET, text.c_str(), &ignored) == 1;
}

const char* FarEndName(VoiceMode mode) {
  switch (mode) {
    case VoiceMode::kTone:
      return "tone";
    case VoiceMode::kEcho:
      return "echo";
    case VoiceMode::kNone:
      break;
  }
  return "silent";
}

}  // namespace

std::string CheckOptions(const Options& o) {
  auto port_ok = [](int p, bool zero_ok) { return p >= (zero_ok ? 0 : 1) && p <= 65535; };
  if (!IsIpv4(o.bind_address)) return "bind address is not an IPv4 address: " + o.bind_address;
  if (!IsIpv4(o.client_host)) return "client host is not an IPv4 address: " + o.client_host;
  if (o.channels < 1 || o.channels > 64) return "channels must be 1..64";
  if (!port_ok(o.address_port, true)) return "address port out of range";
  if (!port_ok(o.phone_base_port, false) || o.phone_base_port + 2 * o.channels - 1 > 65535)
    return "phone base port out of range for the number of channels";
  if (!port_ok(o.udp_port_override, true)) return "UDP port override out of range";
  if (!port_ok(o.client_udp_port, false)) return "client UDP port out of range";
  if (o.phone_ip.size() > exchange::kAddressFieldSize - 1) return "phone IP text longer than 63 bytes";
  if (o.busy_channels < 0 || o.tag_gap_ms < 0 || o.first_tag_delay_ms < 0 || o.voice_count < 0 ||
      o.hostile_flood < 0 || o.address_timeout_ms < 1)
    return "negative count or delay";
  if (o.voice_pace_ms < 1) return "voice pace must be at least 1 ms";
  if (o.voice_log_every < 1) return "voice log interval must be at least 1";
  if (!(o.tone_hz > 0 && o.tone_hz < 4000)) return "tone frequency must be between 0 and 4000 Hz";
  return "";
}

exchange::ExchangeConfig ScenarioConfig(const Options& o) {
  exchange::ExchangeConfig c;
  c.address_listen = o.bind_address;
  c.address_port = o.address_port;
  c.phone_servers = {{o.bind_address, o.phone_ip}};
  c.phone_base_port = o.phone_base_port;
  c.channels = o.channels;
  c.voice_port = o.udp_port_override;
  c.address_timeout_ms = static_cast<uint64_t>(o.address_timeout_ms);
  c.address_silent = o.silent_address;

  // Every test client is on loopback: the per-source limits of an Internet-facing exchange would only get in
  // the way of scenarios that place call after call.
  c.limits.max_connections = 4096;
  c.limits.connections_per_source = 4096;
  c.limits.queries_per_source_per_minute = std::numeric_limits<int>::max() / 2;
  c.limits.calls_per_source = 4096;
  c.limits.connections_per_source_per_minute = std::numeric_limits<int>::max() / 2;
  c.limits.dials_per_source_per_minute = std::numeric_limits<int>::max() / 2;

  exchange::CallSettings& call = c.call;
  call.tag_gap_ms = static_cast<uint64_t>(o.tag_gap_ms);
  call.first_tag_delay_ms = static_cast<uint64_t>(o.first_tag_delay_ms);
  if (o.hangup_after_ms >= 0)
    call.max_call_ms = o.hangup_after_ms > 0 ? static_cast<uint64_t>(o.hangup_after_ms) : 1;
  call.voice_pace_ms = static_cast<uint64_t>(o.voice_pace_ms);
  call.announce_udp_port = o.udp_port_override;
  call.hello = o.hello;
  if (o.hostile) call.tags_first = HostileTcpChunks(o.hostile_seed);
  (o.extra_tags_after_dial ? call.tags_after_dial : call.tags_after_wait) = o.extra_tags;
  call.request_duplicates = o.quality;
  call.voice_address = o.voice_address;
  call.client_voice_port = static_cast<uint16_t>(o.client_udp_port);
  // The hostile flood carries the numbers 1..N: the call's own voice follows it.
  if (o.hostile) call.first_voice_sequence = static_cast<int64_t>(o.hostile_flood) + 1;

  // A refusing exchange has an empty dial plan; otherwise every dial string reaches the chosen far end.
  if (!o.refuse) c.dial_plan.SetDefaultRoute(exchange::DialRoute{FarEndName(o.voice), ""});
  return c;
}

void AddScenarioFarEnds(const Options& o, exchange::FarEndRegistry* registry) {
  registry->Add("tone", exchange::MakeToneFarEndFactory(o.tone_hz, o.voice_count));
  registry->Add("echo", exchange::MakeEchoFarEndFactory(0));
  registry->Add("silent", std::make_unique<SilentFactory>());
}

std::optional<exchange::Answer> ScenarioAnswers::Decide(int, int, int, int connection) {
  if (silent_) return exchange::Answer::kSilent;
  if (connection <= busy_channels_) return exchange::Answer::kBusy;
  return std::nullopt;
}

}  // namespace exsim
