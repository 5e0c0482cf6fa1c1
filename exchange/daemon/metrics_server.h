// Serves the counters over HTTP in the loop that runs the exchange: GET /metrics answers with Prometheus'
// text format, anything else with 404, each on a connection of its own that is closed after the reply.
// Meant for a local address (a scraper beside it); a few plain lines on libre's TCP rather than its HTTP
// server, which buffers half a megabyte per request before we could refuse it, parses the growing buffer
// again on every read and keeps idle connections for ten minutes.
#pragma once

#include <functional>
#include <list>
#include <memory>
#include <string>

struct sa;
struct tcp_sock;

namespace exchange {

class MetricsServer {
 public:
  using Render = std::function<std::string()>;

  // A request whose header runs past this is answered 413 and closed.
  static constexpr size_t kMaxRequestBytes = 8192;
  // Connections at once; more are turned away at the accept.
  static constexpr int kMaxConnections = 16;
  // A connection that has not sent its whole request by then is closed.
  static constexpr unsigned kRequestTimeoutMs = 5000;

  explicit MetricsServer(Render render);
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  bool Start(const std::string& address, int port, std::string* error);
  void Stop();
  int port() const { return port_; }
  int connections() const { return static_cast<int>(connections_.size()); }

 private:
  struct Connection;
  static void OnConnect(const struct sa* peer, void* arg);
  void Answer(Connection& c, int status, const std::string& reason, const std::string& type,
              const std::string& body);
  void Close(Connection& c);

  Render render_;
  struct tcp_sock* sock_ = nullptr;
  int port_ = 0;
  std::list<std::unique_ptr<Connection>> connections_;
};

}  // namespace exchange
