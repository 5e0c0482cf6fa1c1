// What the daemon runs: the exchange's settings, its dial plan, the SIP far end's settings when the venue
// has a PBX, the log level and where the counters are served. Built in for the one-command default, or read
// from a venue's configuration file.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "exchange/daemon/logger.h"
#include "exchange/farend/far_end_registry.h"
#include "exchange/farend/sip/sip_settings.h"
#include "exchange/net/exchange_config.h"
#include "exchange/web/web_config.h"

namespace exchange {

// The lowest port the current user may bind: 0 for root, else the kernel's
// net.ipv4.ip_unprivileged_port_start (1024 unless changed).
int UnprivilegedPortStart();

struct MetricsEndpoint {
  bool enabled = true;
  std::string address = "127.0.0.1";
  int port = 9464;
};

struct DaemonConfig {
  std::string source = "built-in default";  // the file it came from
  ExchangeConfig exchange;
  LogLevel log_level = LogLevel::kInfo;
  // After SIGTERM, how long calls in progress may go on before they are ended; 0 ends them at once.
  int drain_seconds = 30;
  MetricsEndpoint metrics;
  bool has_sip = false;
  SipSettings sip;
  WebConfig web;  // the visitor's web page, when the file has a [web] section
  std::vector<std::string> notes;  // worth a warning at start, not an error
};

// The built-in department extensions, for the default and for a file without a [dial] section:
// "3381" → tone 1000 Hz, "3368" → echo, "3191" → tone 440 Hz.
void AddBuiltInExtensions(DialPlan* plan);

// Loopback only, the built-in far ends with the built-in extensions.
DaemonConfig DefaultDaemonConfig();

// Reads a venue's file `text` (named `file_name` in messages; relative secret files are taken from
// `base_folder`). `built_in` holds the far-end kinds other than "sip", whose CheckTarget validates their dial
// lines. Every problem found is added as "file:line: what is wrong"; returns true when there is none.
// The text is UTF-8 (a leading byte-order mark is skipped). Ports below `unprivileged_port_start` are
// refused (0 for root: UnprivilegedPortStart() tells the current user's).
bool ParseDaemonConfig(std::string_view text, const std::string& file_name, const std::string& base_folder,
                       const FarEndRegistry& built_in, DaemonConfig* out, std::vector<std::string>* problems,
                       int unprivileged_port_start = UnprivilegedPortStart());

// The same for the file at `path` (at most 1 MiB).
bool LoadDaemonConfig(const std::string& path, const FarEndRegistry& built_in, DaemonConfig* out,
                      std::vector<std::string>* problems);

}  // namespace exchange
