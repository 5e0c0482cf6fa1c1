// The visitor's web page: where the exchange serves it, how its calls' media reach the exchange, and the
// limits of both. Off unless a venue's file has a [web] section.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace exchange {

struct WebConfig {
  bool enabled = false;
  std::string listen = "127.0.0.1";  // the page and its WebSocket (HTTP, or HTTPS with a certificate)
  int port = 8080;                   // 0: any free port (tests)
  std::string certificate_file;      // PEM holding the certificate chain and its key; empty: plain HTTP
  std::string page_folder;           // index.html, page.css, page.js and art/*.svg
  int media_port = 20400;            // the one UDP port of every web call's media; 0: any free port
  std::string public_address;        // the media address browsers are told; empty: the listen address
  std::vector<std::string> origins;  // allowed Origin values; empty: only the page's own host
  // The venue's reverse proxies (IPv4): their X-Forwarded-For names the visitor for the per-source caps.
  std::vector<std::string> trusted_proxies;
  int max_calls = 16;                // open WebSockets at once (each one call); also under [limits]
  size_t max_message_bytes = 16384;  // one WebSocket message (an offer is about 5 KB)
  int max_messages = 16;             // messages a page may send in one call
  // Connections to the page's port at once (each holds three descriptors: the daemon clamps it to what
  // it can spare), and from one address (a browser opens several per page; visitors may share a NAT).
  int max_page_connections = 128;
  int page_connections_per_source = 16;
};

}  // namespace exchange
