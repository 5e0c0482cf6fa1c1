#include "exchange/daemon/command_line.h"

namespace exchange {

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine c;
  auto fail = [&c](std::string why) {
    c.action = CommandLine::Action::kUsageError;
    c.error = std::move(why);
    return c;
  };
  bool chosen = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      c.action = CommandLine::Action::kHelp;
      return c;
    }
    if (a == "--version") {
      c.action = CommandLine::Action::kVersion;
      return c;
    }
    if (a == "--config" || a == "--check-config") {
      if (chosen) return fail("give --config or --check-config once");
      if (i + 1 >= args.size() || args[i + 1].empty()) return fail(a + " needs a file name");
      chosen = true;
      c.config_path = args[++i];
      c.action = a == "--config" ? CommandLine::Action::kRun : CommandLine::Action::kCheckConfig;
      continue;
    }
    return fail("unknown argument \"" + a + "\"");
  }
  return c;
}

std::string HelpText() {
  return R"(Usage: pelvarine-exchange [--config FILE | --check-config FILE | --help | --version]

The venue exchange: the address server and the phone servers the Pelvarine client calls, bridging each
call to a far end (a built-in echo or tone, or a telephone behind the venue's SIP PBX). Runs in the
foreground and logs one line per event on standard output. SIGHUP re-reads FILE (a file with any error is
refused whole; calls in progress keep their settings); SIGTERM takes no new calls and lets those in
progress go on for drain_seconds, then ends them; a second SIGTERM or SIGINT ends every call at once.
Exit status 0 after a signal. Under systemd (Type=notify) it reports readiness, status and the watchdog.

Options:
  (none)               run the built-in default: address server 127.0.0.1:32765, one phone-server
                       address 127.0.0.1 (channels on ports 20480-20487), metrics on 127.0.0.1:9464,
                       built-in far ends only, with the department extensions
                         3381 -> tone 1000 Hz, 3368 -> echo, 3191 -> tone 440 Hz
  --config FILE        run with a venue's configuration file
  --check-config FILE  check FILE and exit: 0 when it is valid, 1 with one "FILE:LINE: problem" per line
  --help               this text
  --version            the version

Configuration file (UTF-8): [section] headers, "key = value" lines, '#' starts a comment (at the start of a
line, or after a blank). Unknown sections and keys are errors. Defaults in brackets.

[exchange]
  address_listen     IPv4 address the address server listens on [127.0.0.1]
  address_port       its TCP port [32765]
  phone_servers      comma list of IPv4 addresses, each serving 4 channels: channel k takes TCP
                     base_port+2k and UDP base_port+2k+1 [127.0.0.1]
  public_addresses   comma list, one per phone server in the same order: the address the address server
                     names to clients (behind NAT, the public one) [the listen addresses; required for 0.0.0.0]
  base_port          first channel's TCP port [20480]
  forwarded_ports    yes: address_port and base_port differ from the client's built-in 32765 and 20480
                     on purpose, because a port forward maps those to them [no: other ports are errors]
  drain_seconds      after SIGTERM, how long calls in progress may go on [30; 0 = end them at once]
  voice_port         >0: one UDP port for every channel's voice, announced to clients [0 = one per channel]
  log_level          error | warn | info | debug [info]
  metrics            IPv4:port of the HTTP counters (GET /metrics, Prometheus text), or off [127.0.0.1:9464]

[limits]
  max_calls                      calls at once over every phone server; more get "busy" [64]
  max_connections                open TCP connections at once [1000]
  connections_per_source         open TCP connections from one IPv4 address [16]
  calls_per_source               phone channels one IPv4 address may hold at once [2]
  connections_per_source_per_minute  phone connections from one IPv4 address (a call takes 1-4) [60]
  dials_per_source_per_minute    dials from one IPv4 address that reach a far end [10]
  queries_per_source_per_minute  address queries from one IPv4 address [60]
  dial_timeout                   seconds from the connection to the dial, then it is closed [20 s]
  max_call_minutes               a call's longest duration from the dial [60; 0 = no limit]
  voice_silence                  seconds a call may go without the client's voice once it has had some
                                 (a client that has sent none is never cut) [60 s; 0 = never]
  linger                         seconds a refused line may stay open for the client's hang-up [10 s]

[dial]  only what is listed here can be dialled [without a [dial] section: the three extensions above]
  DIAL = KIND [TARGET]     a dial string (1-32 digits, letters, '*', '+') and the far end it reaches:
                             3381 = sip 3381,3382     the PBX's extensions, tried in order (needs [sip])
                             3368 = echo [DELAY_MS]   the caller hears themselves (0-2000 ms) [200]
                             3191 = tone [HZ]         a steady tone (50-3900 Hz) [1000]
  direct = sip             allow direct numbers "number#password#" to the PBX [not allowed]
  direct_password_file     file holding their password on its first line, mode 600 (required with direct)
  direct_prefixes          comma list of the prefixes direct numbers may start with [any]

[sip]  the venue's PBX; its presence enables the "sip" far end
  server             SIP URI of the PBX or outbound proxy, e.g. sip:192.0.2.10;transport=tcp (required)
  user               our SIP user name (required)
  domain             host part of request URIs [the server's host]
  display_name       the From's display name [none]
  credentials_file   file with the digest password on its first line, mode 600 [no authentication]
  register           yes | no: register user at the server [no]
  local              address:port of the SIP transports [0.0.0.0:5060]
  rtp_ports          FIRST-LAST UDP ports for RTP [30000-30999]
  public_address     address written in SDP and Contact behind NAT [the local address]
  ring_limit         seconds an extension rings before the next of a hunt list [20]
  max_wait           seconds to wait for any answer to an INVITE [32]

[web]  the visitors' web page and its calls (WebRTC); its presence turns it on
  enabled            yes | no [yes when the section is there]
  listen             IPv4:port of the page and its WebSocket (/call) [127.0.0.1:8080]
  certificate        PEM file with the certificate chain and its key: serve HTTPS [plain HTTP, for a
                     TLS reverse proxy in front]
  page_folder        index.html, page.css, page.js and art/ [the installed page]
  media_port         the one UDP port of every web call's media (ICE-lite, DTLS-SRTP) [20400]
  public_address     the media address browsers are told, behind NAT [the listen address]
  origins            comma list of pages allowed to place calls, e.g. https://call.example.org
                     [only the page's own host]
  trusted_proxies    comma list of the venue's reverse proxies: their X-Forwarded-For names the
                     visitor for the per-source caps and the log [none]
  max_calls          web calls at once (also counted against [limits] max_calls) [16]
  max_message_bytes  longest WebSocket message [16384]

Relative file names are taken from the configuration file's folder. Secrets never appear in the log.
)";
}

}  // namespace exchange
