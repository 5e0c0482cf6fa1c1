// How the exchange reaches the venue's SIP PBX: the `[sip]` section of its configuration file.
//
// Keys (each at most once; unknown keys are refused so a typo cannot silently change behaviour):
//   server           SIP URI of the PBX or of the outbound proxy every call goes through, e.g.
//                    sip:pbx.venue.example;transport=tcp or sip:192.0.2.10:5080. Transports: udp (default),
//                    tcp. Required.
//   domain           host part of the request URIs, sip:EXTENSION@domain. Default: the server's host.
//   user             our SIP user name: the From of every call, the digest user name, the registered user.
//                    Required.
//   display_name     the From's display name. Default: none.
//   credentials_file a file holding the digest password on its first line. It is read once at load and must
//   be
//                    readable by its owner only (mode 0600 or 0400): anything else is refused, because the
//                    password opens the venue's telephones to whoever reads it. Default: no authentication.
//   register         yes/no: register `user` at the server as a trunk user (re-registered before expiry).
//                    Default: no.
//   local            address:port the SIP transports (UDP and TCP) listen on. Default: 0.0.0.0:5060.
//   rtp_ports        FIRST-LAST, the UDP ports RTP may use, one per call. Default: 30000-30999.
//   public_address   the IP address written in SDP and Contact, when the PBX must reach us at an address
//   other
//                    than the one we send from (NAT). Default: the local address, or the machine's default
//                    source address when listening on all of them.
//   ring_limit       seconds an extension may ring before the next one of a hunt list is tried (the last one
//                    then ends the call). Default: 20.
//   max_wait         seconds to wait for any response to an INVITE before the server is considered
//                    unreachable and the call ends. Default: 32.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace exchange {

enum class SipTransport { kUdp, kTcp };

struct SipSettings {
  std::string server;        // the URI as configured
  std::string server_host;   // host part of `server`
  uint16_t server_port = 0;  // 0: the transport's default
  SipTransport transport = SipTransport::kUdp;
  std::string domain;
  std::string user;
  std::string display_name;
  std::string credentials_file;
  std::string password;  // from credentials_file; never logged
  bool register_trunk = false;
  std::string local_address = "0.0.0.0";
  uint16_t local_port = 5060;
  uint16_t rtp_port_first = 30000;
  uint16_t rtp_port_last = 30999;
  std::string public_address;
  uint32_t ring_limit_s = 20;
  uint32_t max_wait_s = 32;
};

// Fills `out` from the section's key/value pairs, in file order. On failure returns false and says why in
// `error` (naming the key; never quoting the password).
bool ParseSipSettings(const std::vector<std::pair<std::string, std::string>>& entries, SipSettings* out,
                      std::string* error);

}  // namespace exchange
