#include "exchange/daemon/config_checks.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <utility>
#include <vector>

#include "exchange/daemon/config_values.h"

namespace exchange {

namespace {

struct Listener {
  bool tcp = true;
  std::string address;
  int first = 0;
  int last = 0;  // a range for RTP; else == first
  std::string what;
  std::string key;  // for its line
};

bool Overlap(const Listener& a, const Listener& b) {
  bool same_address = a.address == b.address || a.address == "0.0.0.0" || b.address == "0.0.0.0";
  return a.tcp == b.tcp && same_address && a.first <= b.last && b.first <= a.last;
}

std::string Describe(const Listener& l) {
  std::string ports = std::to_string(l.first) + (l.last != l.first ? "-" + std::to_string(l.last) : "");
  return l.what + " (" + (l.tcp ? "TCP " : "UDP ") + l.address + ":" + ports + ")";
}

std::vector<Listener> Listeners(const DaemonConfig& config) {
  const ExchangeConfig& x = config.exchange;
  std::vector<Listener> all;
  all.push_back({true, x.address_listen, x.address_port, x.address_port, "the address server",
                 "exchange.address_port"});
  for (const PhoneServerAddress& server : x.phone_servers) {
    for (int k = 0; k < x.channels; ++k) {
      int tcp = x.phone_base_port + 2 * k;
      all.push_back({true, server.listen, tcp, tcp, "channel " + std::to_string(k), "exchange.base_port"});
      if (x.voice_port == 0)
        all.push_back({false, server.listen, tcp + 1, tcp + 1, "channel " + std::to_string(k) + "'s voice",
                       "exchange.base_port"});
    }
    if (x.voice_port > 0)
      all.push_back({false, server.listen, x.voice_port, x.voice_port, "voice_port", "exchange.voice_port"});
  }
  if (config.metrics.enabled)
    all.push_back({true, config.metrics.address, config.metrics.port, config.metrics.port, "metrics",
                   "exchange.metrics"});
  if (config.has_sip) {
    const SipSettings& sip = config.sip;
    for (bool tcp : {false, true})
      all.push_back({tcp, sip.local_address, sip.local_port, sip.local_port, "[sip] local", "sip.local"});
    all.push_back({false, sip.local_address, sip.rtp_port_first, sip.rtp_port_last, "[sip] rtp_ports",
                   "sip.rtp_ports"});
  }
  if (config.web.enabled) {
    const WebConfig& web = config.web;
    all.push_back({true, web.listen, web.port, web.port, "[web] listen", "web.listen"});
    all.push_back({false, web.listen, web.media_port, web.media_port, "[web] media_port", "web.media_port"});
  }
  return all;
}

int LineOf(const KeyLines& lines, const std::string& key) {
  auto it = lines.find(key);
  return it == lines.end() ? 0 : it->second;
}

}  // namespace

int UnprivilegedPortStart() {
  if (geteuid() == 0) return 0;
  int start = 1024;
  std::ifstream("/proc/sys/net/ipv4/ip_unprivileged_port_start") >> start;
  return start;
}

void CheckAcrossKeys(const DaemonConfig& config, const KeyLines& lines, const CheckContext& context,
                     const Report& problem, const Report& note) {
  const ExchangeConfig& x = config.exchange;
  if (!context.forwarded_ports) {
    const char* how = ": if a port forward brings the client's port here, say so with forwarded_ports = yes";
    if (x.address_port != kClientAddressPort && lines.count("exchange.address_port") != 0)
      problem(LineOf(lines, "exchange.address_port"),
              "address_port " + std::to_string(x.address_port) +
                  ": the shipped client asks for the address server on port " +
                  std::to_string(kClientAddressPort) + " only" + how);
    if (x.phone_base_port != kClientBasePort && lines.count("exchange.base_port") != 0)
      problem(LineOf(lines, "exchange.base_port"),
              "base_port " + std::to_string(x.phone_base_port) +
                  ": the shipped client calls its channels on ports " + std::to_string(kClientBasePort) +
                  "-" + std::to_string(kClientBasePort + 2 * x.channels - 1) + " only" + how);
  }

  std::vector<Listener> all = Listeners(config);
  std::set<std::pair<std::string, std::string>> clashes;  // one line per pair of keys, not per port
  for (size_t i = 0; i < all.size(); ++i) {
    const Listener& l = all[i];
    if (l.first == 0) continue;  // any free port (tests)
    if (l.first < context.unprivileged_port_start && lines.count(l.key) != 0)
      problem(LineOf(lines, l.key), Describe(l) + ": ports below " +
                                        std::to_string(context.unprivileged_port_start) +
                                        " need root, and the exchange runs as an ordinary user (this check "
                                        "ran as user " +
                                        std::to_string(geteuid()) + ")");
    for (size_t j = 0; j < i; ++j) {
      // The phone servers' own ports among themselves are the phone_servers line's matter.
      if (all[j].key == l.key || !Overlap(all[j], l) || !clashes.emplace(all[j].key, l.key).second) continue;
      int line = std::max(LineOf(lines, l.key), LineOf(lines, all[j].key));
      problem(line, Describe(all[j]) + " and " + Describe(l) + " take the same port");
    }
  }

  for (const PhoneServerAddress& server : x.phone_servers) {
    const std::string& named = server.public_address.empty() ? server.listen : server.public_address;
    if (IsDocumentationAddress(named))
      note(LineOf(lines,
                  server.public_address.empty() ? "exchange.phone_servers" : "exchange.public_addresses"),
           named +
               " is a documentation address (RFC 5737), as in the examples: clients cannot reach it; "
               "name the venue's own address");
  }
  if (config.web.enabled && IsDocumentationAddress(config.web.public_address))
    note(LineOf(lines, "web.public_address"), "[web] public_address " + config.web.public_address +
                                                  " is a documentation address (RFC 5737): browsers cannot "
                                                  "send voice to it");
  if (config.has_sip && IsDocumentationAddress(config.sip.public_address))
    note(LineOf(lines, "sip.public_address"),
         "[sip] public_address " + config.sip.public_address +
             " is a documentation address (RFC 5737): the PBX cannot send voice to it");
}

}  // namespace exchange
