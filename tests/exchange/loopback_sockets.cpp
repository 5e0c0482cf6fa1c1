#include "tests/exchange/loopback_sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <utility>

namespace exchange::testing {

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

Clock::time_point Deadline(int timeout_ms) {
  return Clock::now() + std::chrono::milliseconds(timeout_ms);
}

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

bool WaitReadable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeout_ms) > 0;
}

}  // namespace

bool TcpClient::Connect(int port) {
  Close();
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  sockaddr_in addr = Loopback(port);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    Close();
    return false;
  }
  return true;
}

bool TcpClient::Send(std::string_view data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::optional<std::string> TcpClient::ReceiveChunk(int timeout_ms) {
  if (!unread_.empty()) return std::exchange(unread_, std::string());
  if (!WaitReadable(fd_, timeout_ms)) return std::nullopt;
  char buf[8192];
  ssize_t n = ::recv(fd_, buf, sizeof(buf), 0);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

std::string TcpClient::ReceiveBytes(size_t size, int timeout_ms) {
  Clock::time_point deadline = Deadline(timeout_ms);
  std::string out;
  while (out.size() < size) {
    std::optional<std::string> chunk = ReceiveChunk(RemainingMs(deadline));
    if (!chunk || chunk->empty()) break;
    out += *chunk;
  }
  return out;
}

bool TcpClient::ReadUntil(std::string_view text, int timeout_ms) {
  Clock::time_point deadline = Deadline(timeout_ms);
  std::string seen;
  for (;;) {
    size_t at = seen.find(text);
    if (at != std::string::npos) {
      unread_ = seen.substr(at + text.size());
      return true;
    }
    std::optional<std::string> chunk = ReceiveChunk(RemainingMs(deadline));
    if (!chunk || chunk->empty()) {
      unread_ = std::move(seen);
      return false;
    }
    seen += *chunk;
  }
}

bool TcpClient::WaitClosed(int timeout_ms, std::string* data) {
  Clock::time_point deadline = Deadline(timeout_ms);
  for (;;) {
    std::optional<std::string> chunk = ReceiveChunk(RemainingMs(deadline));
    if (!chunk) return false;
    if (chunk->empty()) return true;
    if (data != nullptr) *data += *chunk;
  }
}

void TcpClient::ShutdownWrite() {
  ::shutdown(fd_, SHUT_WR);
}

void TcpClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  unread_.clear();
}

int TcpClient::local_port() const {
  sockaddr_in addr{};
  socklen_t size = sizeof addr;
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &size) != 0) return 0;
  return ntohs(addr.sin_port);
}

UdpClient::~UdpClient() {
  if (fd_ >= 0) ::close(fd_);
}

bool UdpClient::Bind(int port) {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  int size = 4 << 20;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  sockaddr_in addr = Loopback(port);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) return false;
  socklen_t len = sizeof(addr);
  getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  return true;
}

bool UdpClient::SendTo(int port, std::string_view data) {
  sockaddr_in addr = Loopback(port);
  return ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) ==
         static_cast<ssize_t>(data.size());
}

std::optional<std::string> UdpClient::Receive(int timeout_ms) {
  if (!WaitReadable(fd_, timeout_ms)) return std::nullopt;
  std::string buf(65536, '\0');
  ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
  if (n < 0) return std::nullopt;
  buf.resize(static_cast<size_t>(n));
  return buf;
}

}  // namespace exchange::testing
