#include "tests/exchange/daemon/fake_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace exchange::testing {

namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// Waits until `fd` is readable; false on timeout.
bool Readable(int fd, std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now()).count();
  if (left < 0) left = 0;
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, static_cast<int>(left)) == 1;
}

}  // namespace

TcpClient::TcpClient(int port) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to = Loopback(port);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) Close();
}

TcpClient::~TcpClient() {
  Close();
}

void TcpClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

int TcpClient::local_port() const {
  sockaddr_in a{};
  socklen_t size = sizeof a;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size);
  return ntohs(a.sin_port);
}

bool TcpClient::Send(const std::string& bytes) {
  return fd_ >= 0 &&
         send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

std::string TcpClient::ReadBytes(size_t count, milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (received_.size() < count && Readable(fd_, deadline)) {
    char buffer[4096];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    received_.append(buffer, static_cast<size_t>(n));
  }
  std::string out = received_.substr(0, count);
  received_.erase(0, out.size());
  return out;
}

bool TcpClient::ReadUntil(const std::string& needle, milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    size_t at = received_.find(needle);
    if (at != std::string::npos) {
      received_.erase(0, at + needle.size());
      return true;
    }
    if (!Readable(fd_, deadline)) return false;
    char buffer[4096];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    received_.append(buffer, static_cast<size_t>(n));
  }
}

bool TcpClient::WaitForClose(milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Readable(fd_, deadline)) {
    char buffer[4096];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
  }
  return false;
}

UdpClient::UdpClient() {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in local = Loopback(0);
  bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
}

UdpClient::~UdpClient() {
  close(fd_);
}

bool UdpClient::SendTo(int port, const std::string& datagram) {
  sockaddr_in to = Loopback(port);
  return sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
         static_cast<ssize_t>(datagram.size());
}

std::string UdpClient::Receive(milliseconds timeout) {
  if (!Readable(fd_, std::chrono::steady_clock::now() + timeout)) return std::string();
  char buffer[2048];
  ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::string HttpGet(int port, const std::string& path, int* status) {
  *status = 0;
  TcpClient c(port);
  if (!c.connected() || !c.Send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")) return std::string();
  std::string head;
  std::string line;
  while (head.find("\r\n\r\n") == std::string::npos) {
    std::string byte = c.ReadBytes(1, milliseconds(3000));
    if (byte.empty()) return std::string();
    head += byte;
  }
  if (head.rfind("HTTP/1.1 ", 0) != 0) return std::string();
  *status = std::atoi(head.c_str() + 9);
  size_t at = head.find("Content-Length: ");
  size_t length = at == std::string::npos ? 0 : std::strtoul(head.c_str() + at + 16, nullptr, 10);
  return c.ReadBytes(length, milliseconds(3000));
}

}  // namespace exchange::testing
