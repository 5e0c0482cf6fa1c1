#include "fake_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <random>

namespace exsim_test {

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

bool WaitReadable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeout_ms) > 0;
}

std::mt19937& Rng() {
  static std::mt19937 rng(std::random_device{}() ^ static_cast<unsigned>(::getpid()));
  return rng;
}

}  // namespace

int RandomBasePort() {
  // 21000..31998: below the ephemeral range and away from the default ports 20001, 20480-20487, 32765.
  return 21000 + 2 * std::uniform_int_distribution<int>(0, 5499)(Rng());
}

std::unique_ptr<exsim::Simulator> StartSimulator(exsim::Options options, bool want_udp_override) {
  std::string error;
  for (int attempt = 0; attempt < 50; ++attempt) {
    options.address_port = 0;
    options.phone_base_port = RandomBasePort();
    if (want_udp_override) options.udp_port_override = RandomBasePort() + 1;
    auto sim = std::make_unique<exsim::Simulator>(options);
    if (sim->Start(&error)) return sim;
  }
  return nullptr;
}

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
  if (!WaitReadable(fd_, timeout_ms)) return std::nullopt;
  char buf[8192];
  ssize_t n = ::recv(fd_, buf, sizeof(buf), 0);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

std::string TcpClient::ReceiveBytes(size_t size, int timeout_ms) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::string out;
  while (out.size() < size) {
    std::optional<std::string> chunk = ReceiveChunk(RemainingMs(deadline));
    if (!chunk || chunk->empty()) break;
    out += *chunk;
  }
  return out;
}

bool TcpClient::WaitClosed(int timeout_ms, std::string* data) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
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

std::optional<std::string> AddressExchange(int port, std::string_view query, int timeout_ms) {
  TcpClient client;
  if (!client.Connect(port) || !client.Send(query)) return std::nullopt;
  // Like the client: one reply, then the client closes; the exchange leaves the close to it.
  std::string data = client.ReceiveBytes(exsim::kAddressRecordSize, timeout_ms);
  if (data.size() == exsim::kAddressRecordSize) return data;
  std::string rest;
  if (!client.WaitClosed(1, &rest)) return std::nullopt;
  return data + rest;
}

bool ConnectPhone(const exsim::Simulator& sim, int channel, TcpClient* client) {
  std::optional<std::string> reply = AddressExchange(sim.AddressPort(), exsim::BuildAddressQuery());
  if (!reply || reply->size() != exsim::kAddressRecordSize) return false;
  return client->Connect(sim.PhonePort(channel));
}

std::function<bool(const std::vector<exsim::Event>&)> HasAtLeast(exsim::Event::Kind kind, size_t n,
                                                                 int channel) {
  return [=](const std::vector<exsim::Event>& events) { return exsim::Count(events, kind, channel) >= n; };
}

}  // namespace exsim_test
