#include "exchange/daemon/metrics_server.h"

#include <cstdint>
#include <cstring>

extern "C" {
#include <re.h>
}

namespace exchange {

MetricsServer::~MetricsServer() {
  Stop();
}

bool MetricsServer::Start(const std::string& address, int port, std::string* error) {
  struct sa local;
  if (sa_set_str(&local, address.c_str(), static_cast<uint16_t>(port)) != 0) {
    *error = "metrics: \"" + address + "\" is not an IP address";
    return false;
  }
  int err = http_listen(&sock_, &local, &MetricsServer::OnRequest, this);
  if (err != 0) {
    *error = "metrics: cannot listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(err);
    return false;
  }
  struct sa bound;
  tcp_sock_local_get(http_sock_tcp(sock_), &bound);
  port_ = sa_port(&bound);
  return true;
}

void MetricsServer::Stop() {
  sock_ = static_cast<struct http_sock*>(mem_deref(sock_));
}

void MetricsServer::OnRequest(struct http_conn* conn, const struct http_msg* msg, void* arg) {
  auto* self = static_cast<MetricsServer*>(arg);
  size_t size = msg->mb != nullptr ? msg->mb->end : 0;
  if (size > kMaxRequestBytes) {
    http_ereply(conn, 413, "Request Entity Too Large");
    http_conn_close(conn);
    return;
  }
  if (pl_strcmp(&msg->met, "GET") != 0 || pl_strcmp(&msg->path, "/metrics") != 0) {
    http_ereply(conn, 404, "Not Found");
    return;
  }
  std::string body = self->render_();
  http_creply(conn, 200, "OK", "text/plain; version=0.0.4; charset=utf-8", "%s", body.c_str());
}

}  // namespace exchange
