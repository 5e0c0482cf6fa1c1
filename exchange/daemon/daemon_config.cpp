#include "exchange/daemon/daemon_config.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>

#include "exchange/daemon/config_checks.h"
#include "exchange/daemon/config_values.h"
#include "exchange/daemon/ini_file.h"
#include "exchange/daemon/secret_file.h"
#include "exchange/farend/sip/hunt_list.h"
#include "exchange/protocol/display_text.h"

namespace exchange {

namespace {

constexpr size_t kMaxConfigBytes = 1 << 20;
constexpr size_t kMaxPhoneServers = 256;
constexpr size_t kMaxDialLength = 32;
constexpr int kChannels = 4;

bool IsLoopback(const std::string& ip) {
  return ip.rfind("127.", 0) == 0;
}

bool ValidDialString(std::string_view dial) {
  if (dial.empty() || dial.size() > kMaxDialLength) return false;
  for (char c : dial) {
    bool ok =
        (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '*' || c == '+';
    if (!ok) return false;
  }
  return true;
}

std::string Quoted(std::string_view value) {
  return "\"" + ShowValue(value) + "\"";
}

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

class Loader {
 public:
  Loader(const std::string& file, const std::string& base_folder, const FarEndRegistry& built_in,
         DaemonConfig* out, std::vector<std::string>* problems)
      : file_(file), base_folder_(base_folder), built_in_(built_in), out_(out), problems_(problems) {}

  void Run(const std::vector<IniSection>& sections, int unprivileged_port_start) {
    for (const IniSection& section : sections) {
      for (const IniEntry& e : section.entries)
        lines_[section.name + "." + e.key] = e.line;
    }
    std::map<std::string, int> seen;
    for (const IniSection& section : sections) {
      if (section.name.empty()) {
        Problem(section.entries.front().line,
                "\"" + section.entries.front().key +
                    "\" is outside any section; start with [exchange], [limits], "
                    "[dial], [sip] or [web]");
        continue;
      }
      auto [it, fresh] = seen.emplace(section.name, section.line);
      if (!fresh) {
        Problem(section.line,
                "[" + section.name + "] is given twice (first on line " + std::to_string(it->second) + ")");
        continue;
      }
      if (!UniqueKeys(section)) continue;
      if (section.name == "exchange") {
        ExchangeSection(section);
      } else if (section.name == "limits") {
        LimitsSection(section);
      } else if (section.name == "dial") {
        dial_ = &section;
      } else if (section.name == "sip") {
        SipSection(section);
      } else if (section.name == "web") {
        WebSection(section);
      } else {
        Problem(section.line, "unknown section [" + ShowValue(section.name) +
                                  "] (known: [exchange], [limits], [dial], [sip], [web])");
      }
    }
    // Dial lines last: whether "sip" can be dialled depends on a [sip] section anywhere in the file.
    if (dial_ != nullptr) DialSection(*dial_);
    if (dial_ == nullptr || out_->exchange.dial_plan.empty()) {
      AddBuiltInExtensions(&out_->exchange.dial_plan);
      out_->notes.push_back(file_ + ": no dial lines: only the built-in test extensions can be dialled");
    }
    CheckContext context;
    context.forwarded_ports = forwarded_ports_;
    context.unprivileged_port_start = unprivileged_port_start;
    CheckAcrossKeys(
        *out_, lines_, context, [this](int line, const std::string& what) { Problem(line, what); },
        [this](int line, const std::string& what) {
          out_->notes.push_back(file_ + ":" + std::to_string(line) + ": " + what);
        });
  }

 private:
  void Problem(int line, const std::string& what) {
    problems_->push_back(file_ + ":" + std::to_string(line) + ": " + what);
  }

  bool UniqueKeys(const IniSection& section) {
    std::map<std::string, int> keys;
    bool ok = true;
    for (const IniEntry& e : section.entries) {
      auto [it, fresh] = keys.emplace(e.key, e.line);
      if (!fresh) {
        Problem(e.line, "[" + section.name + "] " + ShowValue(e.key) + " is given twice (first on line " +
                            std::to_string(it->second) + ")");
        ok = false;
      }
    }
    return ok;
  }

  bool Int(const IniEntry& e, long min, long max, long* out) {
    if (ParseBoundedInt(e.value, min, max, out)) return true;
    Problem(e.line, e.key + " must be a whole number from " + std::to_string(min) + " to " +
                        std::to_string(max) + " (got " + Quoted(e.value) + ")");
    return false;
  }

  bool Seconds(const IniEntry& e, long min, long max, long* out) {
    if (ParseSeconds(e.value, min, max, out)) return true;
    Problem(e.line, e.key + " must be whole seconds from " + std::to_string(min) + " to " +
                        std::to_string(max) + " (got " + Quoted(e.value) + ")");
    return false;
  }

  std::string Absolute(const std::string& path) const {
    if (path.empty() || path.front() == '/' || base_folder_.empty()) return path;
    return base_folder_ + "/" + path;
  }

  void ExchangeSection(const IniSection& section) {
    ExchangeConfig& x = out_->exchange;
    std::vector<std::string> listen = {"127.0.0.1"};
    std::vector<std::string> publics;
    int servers_line = section.line;
    int publics_line = 0;
    long value = 0;
    for (const IniEntry& e : section.entries) {
      const std::string& k = e.key;
      if (k == "address_listen") {
        if (ParseIpv4(e.value))
          x.address_listen = e.value;
        else
          Problem(e.line, "address_listen must be an IPv4 address (got " + Quoted(e.value) + ")");
      } else if (k == "address_port") {
        if (Int(e, 1, 65535, &value)) x.address_port = static_cast<int>(value);
      } else if (k == "phone_servers") {
        listen = SplitList(e.value);
        servers_line = e.line;
      } else if (k == "public_addresses") {
        publics = SplitList(e.value);
        publics_line = e.line;
      } else if (k == "base_port") {
        if (Int(e, 1024, 65535 - 2 * kChannels + 1, &value)) x.phone_base_port = static_cast<int>(value);
      } else if (k == "voice_port") {
        if (Int(e, 0, 65535, &value)) x.voice_port = static_cast<int>(value);
      } else if (k == "forwarded_ports") {
        if (e.value == "yes" || e.value == "no")
          forwarded_ports_ = e.value == "yes";
        else
          Problem(e.line, "forwarded_ports must be yes or no (got " + Quoted(e.value) + ")");
      } else if (k == "drain_seconds") {
        if (Seconds(e, 0, 3600, &value)) out_->drain_seconds = static_cast<int>(value);
      } else if (k == "log_level") {
        if (!ParseLogLevel(e.value, &out_->log_level))
          Problem(e.line, "log_level must be error, warn, info or debug (got " + Quoted(e.value) + ")");
      } else if (k == "metrics") {
        Metrics(e);
      } else {
        Problem(e.line,
                "[exchange] has no key " + Quoted(k) +
                    " (known: address_listen, address_port, phone_servers, public_addresses, base_port, "
                    "voice_port, forwarded_ports, drain_seconds, log_level, metrics)");
      }
    }
    PhoneServers(listen, servers_line, publics, publics_line);
  }

  void PhoneServers(const std::vector<std::string>& listen, int servers_line,
                    const std::vector<std::string>& publics, int publics_line) {
    ExchangeConfig& x = out_->exchange;
    if (listen.size() > kMaxPhoneServers) {
      Problem(servers_line,
              "phone_servers lists more than " + std::to_string(kMaxPhoneServers) + " addresses");
      return;
    }
    if (publics_line != 0 && publics.size() != listen.size()) {
      Problem(publics_line, "public_addresses names " + std::to_string(publics.size()) +
                                " address(es) but phone_servers " + std::to_string(listen.size()) +
                                ": one for each, in the same order");
      return;
    }
    std::set<std::string> seen;
    x.phone_servers.clear();
    for (size_t i = 0; i < listen.size(); ++i) {
      PhoneServerAddress server;
      server.listen = listen[i];
      if (!ParseIpv4(server.listen)) {
        Problem(servers_line, "phone_servers: " + Quoted(server.listen) + " is not an IPv4 address");
        continue;
      }
      if (!seen.insert(server.listen).second) {
        Problem(servers_line, "phone_servers lists " + server.listen + " twice");
        continue;
      }
      if (publics_line != 0) {
        server.public_address = publics[i];
        if (!ParseIpv4(server.public_address) || server.public_address == "0.0.0.0") {
          Problem(publics_line, "public_addresses: " + Quoted(server.public_address) +
                                    " is not an IPv4 address a client can reach");
          continue;
        }
      } else if (server.listen == "0.0.0.0") {
        Problem(servers_line,
                "phone server 0.0.0.0 (every address) needs public_addresses: the address the "
                "address server names to clients");
        continue;
      }
      x.phone_servers.push_back(server);
    }
    if (seen.count("0.0.0.0") != 0 && listen.size() > 1)
      Problem(servers_line,
              "phone server 0.0.0.0 takes the ports on every address: it cannot share them with others");
    if (!IsLoopback(x.address_listen)) {
      for (const PhoneServerAddress& s : x.phone_servers) {
        const std::string& shown = s.public_address.empty() ? s.listen : s.public_address;
        if (IsLoopback(shown))
          out_->notes.push_back(file_ + ":" + std::to_string(servers_line) +
                                ": the address server listens on " + x.address_listen + " but names " +
                                shown + " to clients, who cannot reach it");
      }
    }
  }

  void Metrics(const IniEntry& e) {
    MetricsEndpoint& m = out_->metrics;
    if (e.value == "off") {
      m.enabled = false;
      return;
    }
    size_t colon = e.value.rfind(':');
    long port = 0;
    if (colon == std::string::npos || !ParseIpv4(e.value.substr(0, colon)) ||
        !ParseBoundedInt(e.value.substr(colon + 1), 1, 65535, &port)) {
      Problem(e.line, "metrics must be IPv4:port, e.g. 127.0.0.1:9464, or off (got " + Quoted(e.value) + ")");
      return;
    }
    m.enabled = true;
    m.address = e.value.substr(0, colon);
    if (!IsLoopback(m.address))
      out_->notes.push_back(file_ + ":" + std::to_string(e.line) + ": metrics on " + m.address +
                            ": whoever reaches that address can read the counters");
    m.port = static_cast<int>(port);
  }

  void LimitsSection(const IniSection& section) {
    Limits& l = out_->exchange.limits;
    CallSettings& c = out_->exchange.call;
    long v = 0;
    for (const IniEntry& e : section.entries) {
      const std::string& k = e.key;
      if (k == "max_calls") {
        if (Int(e, 1, 100000, &v)) l.max_calls = static_cast<int>(v);
      } else if (k == "max_connections") {
        if (Int(e, 1, 1000000, &v)) l.max_connections = static_cast<int>(v);
      } else if (k == "connections_per_source") {
        if (Int(e, 1, 100000, &v)) l.connections_per_source = static_cast<int>(v);
      } else if (k == "connections_per_source_per_minute") {
        if (Int(e, 1, 100000, &v)) l.connections_per_source_per_minute = static_cast<int>(v);
      } else if (k == "dials_per_source_per_minute") {
        if (Int(e, 1, 100000, &v)) l.dials_per_source_per_minute = static_cast<int>(v);
      } else if (k == "calls_per_source") {
        if (Int(e, 1, 100000, &v)) l.calls_per_source = static_cast<int>(v);
      } else if (k == "queries_per_source_per_minute") {
        if (Int(e, 1, 100000, &v)) l.queries_per_source_per_minute = static_cast<int>(v);
      } else if (k == "dial_timeout") {
        // Never 0 ("for ever"): a connection that sends nothing must not hold a channel.
        if (Seconds(e, 1, 3600, &v)) c.dial_timeout_ms = static_cast<uint64_t>(v) * 1000;
      } else if (k == "max_call_minutes") {
        if (Int(e, 0, 100000, &v)) c.max_call_ms = static_cast<uint64_t>(v) * 60000;
      } else if (k == "voice_silence") {
        if (Seconds(e, 0, 3600, &v)) c.voice_silence_ms = static_cast<uint64_t>(v) * 1000;
      } else if (k == "linger") {
        if (Seconds(e, 1, 3600, &v)) c.linger_ms = static_cast<uint64_t>(v) * 1000;
      } else {
        Problem(e.line, "[limits] has no key " + Quoted(k) +
                            " (known: max_calls, max_connections, connections_per_source, calls_per_source, "
                            "connections_per_source_per_minute, dials_per_source_per_minute, "
                            "queries_per_source_per_minute, dial_timeout, max_call_minutes, voice_silence, "
                            "linger)");
      }
    }
  }

  void WebSection(const IniSection& section) {
    WebConfig& w = out_->web;
    w.enabled = true;
    long v = 0;
    for (const IniEntry& e : section.entries) {
      const std::string& k = e.key;
      if (k == "listen") {
        size_t colon = e.value.rfind(':');
        if (colon == std::string::npos || !ParseIpv4(e.value.substr(0, colon)) ||
            !ParseBoundedInt(e.value.substr(colon + 1), 1, 65535, &v)) {
          Problem(e.line, "listen must be IPv4:port, e.g. 127.0.0.1:8080 (got " + Quoted(e.value) + ")");
        } else {
          w.listen = e.value.substr(0, colon);
          w.port = static_cast<int>(v);
        }
      } else if (k == "certificate") {
        w.certificate_file = Absolute(e.value);
      } else if (k == "page_folder") {
        w.page_folder = Absolute(e.value);
      } else if (k == "media_port") {
        if (Int(e, 1024, 65535, &v)) w.media_port = static_cast<int>(v);
      } else if (k == "public_address") {
        if (ParseIpv4(e.value) && e.value != "0.0.0.0")
          w.public_address = e.value;
        else
          Problem(e.line,
                  "public_address must be an IPv4 address browsers can reach (got " + Quoted(e.value) + ")");
      } else if (k == "origins") {
        w.origins = SplitList(e.value);
      } else if (k == "trusted_proxies") {
        w.trusted_proxies = SplitList(e.value);
        for (const std::string& proxy : w.trusted_proxies)
          if (!ParseIpv4(proxy))
            Problem(e.line, "trusted_proxies: " + Quoted(proxy) + " is not an IPv4 address");
      } else if (k == "max_calls") {
        if (Int(e, 1, 100000, &v)) w.max_calls = static_cast<int>(v);
      } else if (k == "max_message_bytes") {
        if (Int(e, 1024, 1 << 20, &v)) w.max_message_bytes = static_cast<size_t>(v);
      } else if (k == "enabled") {
        if (e.value == "no" || e.value == "off")
          w.enabled = false;
        else if (e.value != "yes" && e.value != "on")
          Problem(e.line, "enabled must be yes or no (got " + Quoted(e.value) + ")");
      } else {
        Problem(e.line, "[web] has no key " + Quoted(k) +
                            " (known: enabled, listen, certificate, page_folder, media_port, public_address, "
                            "origins, trusted_proxies, max_calls, max_message_bytes)");
      }
    }
    if (w.enabled && w.listen == "0.0.0.0" && w.public_address.empty())
      Problem(section.line, "[web] on 0.0.0.0 needs public_address: the media address browsers are told");
  }

  void SipSection(const IniSection& section) {
    // A section with problems still counts as present, so dial lines to "sip" add no false complaints.
    out_->has_sip = true;
    std::vector<const IniEntry*> left;
    for (const IniEntry& e : section.entries)
      left.push_back(&e);
    std::vector<std::string> dropped;
    // The settings reader stops at its first complaint: the entry it names is reported and left out, and
    // the rest read again, until every problem of the section is known.
    for (size_t round = 0; round <= section.entries.size(); ++round) {
      std::vector<std::pair<std::string, std::string>> entries;
      for (const IniEntry* e : left)
        entries.emplace_back(e->key, e->key == "credentials_file" ? Absolute(e->value) : e->value);
      std::string error;
      if (ParseSipSettings(entries, &out_->sip, &error)) return;
      // Points at the key the complaint names, else at the section; the values are not repeated here.
      auto named = left.end();
      for (auto it = left.begin(); it != left.end(); ++it) {
        const std::string& key = (*it)->key;
        if (error.rfind(key + " ", 0) == 0 || error.rfind(key + ":", 0) == 0 ||
            error.find("'" + key + "'") != std::string::npos ||
            error.find("] " + key + " ") != std::string::npos) {
          named = it;
          break;
        }
      }
      bool follow_on = false;  // "server is required" after the server's own line was reported
      for (const std::string& key : dropped)
        follow_on = follow_on || error.find("] " + key + " is required") != std::string::npos;
      if (error.rfind("[sip] ", 0) != 0) error = "[sip] " + error;
      if (!follow_on) Problem(named == left.end() ? section.line : (*named)->line, error);
      if (named == left.end()) return;
      dropped.push_back((*named)->key);
      left.erase(named);
    }
  }

  void DialSection(const IniSection& section) {
    DialPlan& plan = out_->exchange.dial_plan;
    const IniEntry* direct = nullptr;
    const IniEntry* password_file = nullptr;
    std::string prefixes;
    for (const IniEntry& e : section.entries) {
      if (e.key == "direct") {
        direct = &e;
      } else if (e.key == "direct_password_file") {
        password_file = &e;
      } else if (e.key == "direct_prefixes") {
        prefixes = e.value;
        for (const std::string& p : SplitList(e.value)) {
          if (p.empty() || p.size() > 20 || p.find_first_not_of("0123456789") != std::string::npos)
            Problem(e.line,
                    "direct_prefixes must be digits separated by commas, e.g. 0,1 (got " + Quoted(p) + ")");
        }
      } else if (!ValidDialString(e.key)) {
        Problem(e.line, "dial string " + Quoted(e.key) + " must be 1 to " + std::to_string(kMaxDialLength) +
                            " digits, letters, '*' or '+'");
      } else {
        DialRoute route;
        if (Route(e, &route)) plan.AddExtension(e.key, route);
      }
    }
    if (direct == nullptr && password_file == nullptr) return;
    if (direct == nullptr) {
      Problem(password_file->line, "direct_password_file is given but no \"direct = sip\" line");
      return;
    }
    if (direct->value != "sip") {
      Problem(direct->line,
              "direct numbers can only go to the sip far end (got " + Quoted(direct->value) + ")");
      return;
    }
    if (!out_->has_sip) {
      Problem(direct->line, "direct numbers go to the sip far end, which needs a [sip] section");
      return;
    }
    if (password_file == nullptr) {
      Problem(direct->line,
              "direct numbers need direct_password_file: without a password anyone could dial out");
      return;
    }
    std::string password;
    std::string error;
    if (!ReadSecretFile(Absolute(password_file->value), &password, &error)) {
      Problem(password_file->line, "direct_password_file " + error);
      return;
    }
    if (password.find('#') != std::string::npos) {
      Problem(password_file->line,
              "the direct-number password cannot contain '#' (the client uses it as a separator)");
      return;
    }
    plan.AllowDirectNumbers(password, prefixes, DialRoute{"sip", ""});
  }

  bool Route(const IniEntry& e, DialRoute* route) {
    size_t blank = e.value.find_first_of(" \t");
    route->far_end = e.value.substr(0, blank);
    route->target = blank == std::string::npos ? "" : TrimSpaces(e.value.substr(blank + 1));
    std::string problem;
    if (route->far_end == "sip") {
      if (!out_->has_sip) {
        Problem(e.line, "dial " + e.key + " goes to the sip far end, which needs a [sip] section");
        return false;
      }
      // What SipFarEndFactory::CheckTarget accepts; the factory itself only exists once its stack is open.
      std::vector<std::string> extensions;
      ParseHuntList(route->target, &extensions, &problem);
    } else if (const FarEndFactory* factory = built_in_.Find(route->far_end)) {
      problem = factory->CheckTarget(route->target);
    } else {
      Problem(e.line,
              "dial " + e.key + ": unknown far-end kind " + Quoted(route->far_end) + " (echo, tone, sip)");
      return false;
    }
    if (!problem.empty()) {
      Problem(e.line, "dial " + e.key + " = " + ShowValue(e.value) + ": " + problem);
      return false;
    }
    return true;
  }

  std::string file_;
  std::string base_folder_;
  const FarEndRegistry& built_in_;
  DaemonConfig* out_;
  std::vector<std::string>* problems_;
  const IniSection* dial_ = nullptr;
  KeyLines lines_;
  bool forwarded_ports_ = false;
};

}  // namespace

void AddBuiltInExtensions(DialPlan* plan) {
  plan->AddExtension("3381", DialRoute{"tone", "1000"});
  plan->AddExtension("3368", DialRoute{"echo", ""});
  plan->AddExtension("3191", DialRoute{"tone", "440"});
}

DaemonConfig DefaultDaemonConfig() {
  DaemonConfig config;
  AddBuiltInExtensions(&config.exchange.dial_plan);
  return config;
}

bool ParseDaemonConfig(std::string_view text, const std::string& file_name, const std::string& base_folder,
                       const FarEndRegistry& built_in, DaemonConfig* out, std::vector<std::string>* problems,
                       int unprivileged_port_start) {
  *out = DaemonConfig();
  out->source = file_name;
  size_t before = problems->size();
  // Editors on Windows start UTF-8 files with a byte-order mark.
  if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) text.remove_prefix(kByteOrderMark.size());
  int line = 1;
  for (size_t start = 0; start < text.size();) {
    size_t end = std::min(text.find('\n', start), text.size());
    size_t bad = FindInvalidUtf8(text.substr(start, end - start));
    if (bad != std::string_view::npos) {
      char byte[8];
      std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned char>(text[start + bad]));
      problems->push_back(file_name + ":" + std::to_string(line) + ": byte " + byte + " at column " +
                          std::to_string(bad + 1) + " is not UTF-8: save the file as UTF-8");
    }
    start = end + 1;
    ++line;
  }
  std::vector<ConfigProblem> syntax;
  std::vector<IniSection> sections = ParseIni(text, &syntax);
  for (const ConfigProblem& p : syntax)
    problems->push_back(file_name + ":" + std::to_string(p.line) + ": " + p.what);
  Loader(file_name, base_folder, built_in, out, problems).Run(sections, unprivileged_port_start);
  // In the file's order, whichever check found them.
  auto line_of = [&file_name](const std::string& problem) {
    return std::strtol(problem.c_str() + file_name.size() + 1, nullptr, 10);
  };
  std::stable_sort(problems->begin() + static_cast<std::ptrdiff_t>(before), problems->end(),
                   [&](const std::string& a, const std::string& b) { return line_of(a) < line_of(b); });
  return problems->size() == before;
}

bool LoadDaemonConfig(const std::string& path, const FarEndRegistry& built_in, DaemonConfig* out,
                      std::vector<std::string>* problems) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    problems->push_back(path + ": not a readable file");
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    problems->push_back(path + ": cannot be read");
    return false;
  }
  std::string text(kMaxConfigBytes + 1, '\0');
  in.read(&text[0], static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  if (text.size() > kMaxConfigBytes) {
    problems->push_back(path + ": larger than 1 MiB; is this the configuration file?");
    return false;
  }
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  return ParseDaemonConfig(text, path, folder, built_in, out, problems);
}

}  // namespace exchange
