#include "attacker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "exchange/protocol/wire_formats.h"

namespace exchange::testing {

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Address(const std::string& ip, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  return a;
}

int MsLeft(Clock::time_point end) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

void Fd::Reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

Fd Connect(const std::string& ip, int port, const std::string& from_ip) {
  Fd fd(socket(AF_INET, SOCK_STREAM, 0));
  if (!fd.valid()) return fd;
  sockaddr_in local = Address(from_ip, 0);
  sockaddr_in remote = Address(ip, port);
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
      connect(fd.get(), reinterpret_cast<sockaddr*>(&remote), sizeof(remote)) != 0)
    return Fd();
  return fd;
}

bool SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

ReadEnd ReadSome(int fd, int timeout_ms, std::string* out) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return ReadEnd::kTimeout;
  char buf[4096];
  ssize_t n = recv(fd, buf, sizeof(buf), 0);
  if (n <= 0) return ReadEnd::kClosed;  // an orderly close or a reset
  out->append(buf, static_cast<size_t>(n));
  return ReadEnd::kData;
}

bool WaitClosed(int fd, int timeout_ms, std::string* out) {
  std::string ignored;
  auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    ReadEnd r = ReadSome(fd, MsLeft(end), out ? out : &ignored);
    if (r == ReadEnd::kClosed) return true;
    if (r == ReadEnd::kTimeout) return false;
  }
}

ReadEnd ReadAtLeast(int fd, size_t size, int timeout_ms, std::string* out) {
  auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (out->size() < size) {
    ReadEnd r = ReadSome(fd, MsLeft(end), out);
    if (r != ReadEnd::kData) return r;
  }
  return ReadEnd::kData;
}

std::string ReadTag(int fd, int timeout_ms) {
  std::string out;
  ReadSome(fd, timeout_ms, &out);
  return out;
}

Fd UdpSocket(const std::string& from_ip) {
  Fd fd(socket(AF_INET, SOCK_DGRAM, 0));
  sockaddr_in local = Address(from_ip, 0);
  if (!fd.valid() || bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) return Fd();
  int size = 1 << 20;
  setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  return fd;
}

bool SendDatagram(int fd, const std::string& ip, int port, std::string_view datagram) {
  sockaddr_in to = Address(ip, port);
  return sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) ==
         static_cast<ssize_t>(datagram.size());
}

uint16_t LocalPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof(a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

int ServerEndOf(int fd) {
  sockaddr_in ours{}, theirs{};
  socklen_t len = sizeof ours;
  getsockname(fd, reinterpret_cast<sockaddr*>(&ours), &len);
  len = sizeof theirs;
  getpeername(fd, reinterpret_cast<sockaddr*>(&theirs), &len);
  auto same = [](const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
  };
  for (int other = 0; other < 65536; ++other) {
    sockaddr_in local{}, peer{};
    socklen_t a = sizeof local, b = sizeof peer;
    if (other == fd || getsockname(other, reinterpret_cast<sockaddr*>(&local), &a) != 0 ||
        getpeername(other, reinterpret_cast<sockaddr*>(&peer), &b) != 0 || local.sin_family != AF_INET)
      continue;
    if (same(local, theirs) && same(peer, ours)) return other;
  }
  return -1;
}

int KeepAliveGiveUpSeconds(int fd) {
  int on = 0, idle = 0, interval = 0, count = 0;
  socklen_t len = sizeof(int);
  getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, &len);
  getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &len);
  getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, &len);
  getsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, &len);
  return on ? idle + interval * count : 0;
}

std::string QueryAddress(int address_port, const std::string& from_ip) {
  Fd fd = Connect("127.0.0.1", address_port, from_ip);
  if (!fd.valid() || !SendAll(fd.get(), BuildAddressQuery())) return "";
  std::string reply;
  if (ReadAtLeast(fd.get(), kAddressRecordSize, 5000, &reply) != ReadEnd::kData) return "";
  return AddressFieldText(reply, kReplyIpField);
}

size_t ResidentBytes() {
  long pages = 0;
  long resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(f);
  return static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// ---- The well-behaved call ----

GoodCall::GoodCall(int phone_base_port, std::string dial, uint8_t marker, std::string from_ip, int voice_port)
    : base_(phone_base_port),
      dial_(std::move(dial)),
      marker_(marker),
      from_ip_(std::move(from_ip)),
      shared_voice_port_(voice_port) {}

bool GoodCall::Open(std::string* error) {
  for (int k = 0; k < 4; ++k) {
    Fd fd = Connect("127.0.0.1", base_ + 2 * k, from_ip_);
    if (!fd.valid()) continue;
    std::string tag = ReadTag(fd.get(), 5000);
    if (tag != kTagWaitDial) continue;
    if (!SendAll(fd.get(), BuildLocalAddressMessage("127.0.0.1")) ||
        !SendAll(fd.get(), BuildDialMessage("127.0.0.1", dial_))) {
      *error = "the dial could not be sent";
      return false;
    }
    channel_ = k;
    udp_port_ = shared_voice_port_ > 0 ? shared_voice_port_ : base_ + 2 * k + 1;
    tcp_ = std::move(fd);
    udp_ = UdpSocket(from_ip_);
    return udp_.valid();
  }
  *error = "no channel answered";
  return false;
}

uint16_t GoodCall::voice_source_port() const {
  return LocalPort(udp_.get());
}

void GoodCall::Talk() {
  thread_ = std::thread(&GoodCall::Loop, this);
}

void GoodCall::HangUp() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  tcp_.Reset();
  udp_.Reset();
}

bool GoodCall::WaitEchoes(int64_t more, int timeout_ms) const {
  int64_t target = echoed_.load() + more;
  auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (echoed_.load() < target) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void GoodCall::Loop() {
  const std::string audio(kVoiceSamples, static_cast<char>(marker_));
  auto next = Clock::now();
  Clock::time_point last_echo;
  int64_t sequence = 0;
  while (!stop_) {
    if (Clock::now() >= next) {
      if (SendDatagram(udp_.get(), "127.0.0.1", udp_port_, BuildClientVoice(++sequence, audio))) ++sent_;
      next += std::chrono::milliseconds(16);
      if (next < Clock::now()) next = Clock::now() + std::chrono::milliseconds(16);  // we were descheduled
    }
    pollfd p{udp_.get(), POLLIN, 0};
    if (poll(&p, 1, std::max(1, MsLeft(next))) <= 0) continue;
    char buf[2048];
    ssize_t n;
    while ((n = recv(udp_.get(), buf, sizeof(buf), MSG_DONTWAIT)) > 0) {
      if (static_cast<size_t>(n) != kServerVoiceSize) continue;
      bool ours = true;
      for (size_t i = 32; i < kServerVoiceSize; ++i)
        ours = ours && static_cast<uint8_t>(buf[i]) == marker_;
      ++(ours ? echoed_ : foreign_);
      if (ours) {
        auto now = Clock::now();
        if (gaps_++ > 0) {
          int64_t gap = std::chrono::duration_cast<std::chrono::microseconds>(now - last_echo).count();
          gap_sum_us_ += gap;
          max_gap_us_ = std::max(max_gap_us_, gap);
        }
        last_echo = now;
      }
    }
  }
}

}  // namespace exchange::testing
