// Serves the counters over HTTP on libre's server, in the loop that runs the exchange: GET /metrics answers
// with Prometheus' text format, anything else with 404. Meant for a local address (a scraper beside it).
#pragma once

#include <functional>
#include <string>

struct http_sock;
struct http_conn;
struct http_msg;

namespace exchange {

class MetricsServer {
 public:
  using Render = std::function<std::string()>;

  // Requests with more than this many bytes of header and body are answered 413 and closed; libre only
  // calls us with a whole request, so this bounds what one client can make us parse and keep.
  static constexpr size_t kMaxRequestBytes = 8192;
  static constexpr int kMaxConnections = 16;

  explicit MetricsServer(Render render) : render_(std::move(render)) {}
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  bool Start(const std::string& address, int port, std::string* error);
  void Stop();
  int port() const { return port_; }

 private:
  static void OnRequest(struct http_conn* conn, const struct http_msg* msg, void* arg);

  Render render_;
  struct http_sock* sock_ = nullptr;
  int port_ = 0;
};

}  // namespace exchange
