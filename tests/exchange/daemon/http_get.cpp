#include "tests/exchange/daemon/http_get.h"

#include <cstdlib>
#include <optional>

#include "tests/exchange/loopback_sockets.h"

namespace exchange::testing {

std::string HttpGet(int port, const std::string& path, int* status) {
  constexpr int kTimeoutMs = 3000;
  *status = 0;
  TcpClient c;
  if (!c.Connect(port) || !c.Send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"))
    return std::string();
  std::string reply;
  size_t head_end;
  while ((head_end = reply.find("\r\n\r\n")) == std::string::npos) {
    std::optional<std::string> chunk = c.ReceiveChunk(kTimeoutMs);
    if (!chunk || chunk->empty()) return std::string();
    reply += *chunk;
  }
  std::string head = reply.substr(0, head_end + 4);
  if (head.rfind("HTTP/1.1 ", 0) != 0) return std::string();
  *status = std::atoi(head.c_str() + 9);
  size_t at = head.find("Content-Length: ");
  size_t length = at == std::string::npos ? 0 : std::strtoul(head.c_str() + at + 16, nullptr, 10);
  std::string body = reply.substr(head.size());
  if (body.size() < length) body += c.ReceiveBytes(length - body.size(), kTimeoutMs);
  return body;
}

}  // namespace exchange::testing
