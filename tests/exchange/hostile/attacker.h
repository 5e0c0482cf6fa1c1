// The hostile side of the tests, on plain POSIX sockets: connections and datagrams from chosen loopback
// addresses, bounded reads, and a well-behaved call that keeps talking on its own thread while the attacks
// run.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

namespace exchange::testing {

// A socket closed when it goes.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& o) noexcept : fd_(o.Release()) {}
  Fd& operator=(Fd&& o) noexcept {
    Reset(o.Release());
    return *this;
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// A TCP connection to ip:port from `from_ip` (any port); invalid when the connect fails.
Fd Connect(const std::string& ip, int port, const std::string& from_ip = "127.0.0.1");
// Sends everything (no SIGPIPE); false once the connection is gone.
bool SendAll(int fd, std::string_view bytes);

enum class ReadEnd { kData, kClosed, kTimeout };
// Waits up to `timeout_ms` for bytes and appends what arrives (one read) to `out`.
ReadEnd ReadSome(int fd, int timeout_ms, std::string* out);
// Reads until the peer closes or `timeout_ms` passes; returns whether it closed. `out` gets every byte.
bool WaitClosed(int fd, int timeout_ms, std::string* out = nullptr);
// Reads until `out` holds at least `size` bytes, the peer closes or `timeout_ms` passes.
ReadEnd ReadAtLeast(int fd, size_t size, int timeout_ms, std::string* out);
// Waits for the next chunk from a phone channel (a tag).
std::string ReadTag(int fd, int timeout_ms);

// A UDP socket bound to from_ip (any port).
Fd UdpSocket(const std::string& from_ip = "127.0.0.1");
bool SendDatagram(int fd, const std::string& ip, int port, std::string_view datagram);
uint16_t LocalPort(int fd);
// The exchange's end of our TCP connection `fd` (it runs in this process), or -1.
int ServerEndOf(int fd);
// How long the kernel takes to give up a silent peer of `fd` by keepalive probes, in seconds; 0 without them.
int KeepAliveGiveUpSeconds(int fd);

// Asks the address server; returns the phone address it names, or "" when no reply came.
std::string QueryAddress(int address_port, const std::string& from_ip = "127.0.0.1");

// Bytes of memory the process has resident.
size_t ResidentBytes();

// A visitor who does everything right: channel, dial, then 144-byte datagrams every 16 ms from its own port,
// counting the echoes that come back. Its audio bytes are `marker`, so an echo of anybody else's voice shows.
class GoodCall {
 public:
  // `voice_port` > 0: the exchange's shared voice port instead of each channel's own.
  GoodCall(int phone_base_port, std::string dial, uint8_t marker = 0x11, std::string from_ip = "127.0.0.1",
           int voice_port = 0);
  ~GoodCall() { HangUp(); }

  // Connects to the first channel that answers and dials; false (with *error) when it could not.
  bool Open(std::string* error);
  // Starts talking on a thread of its own.
  void Talk();
  void HangUp();

  int channel() const { return channel_; }
  int udp_port() const { return udp_port_; }
  uint16_t voice_source_port() const;
  int64_t sent() const { return sent_.load(); }
  int64_t echoed() const { return echoed_.load(); }
  int64_t foreign() const { return foreign_.load(); }  // echoes carrying another caller's audio
  // Gaps between its own echoes, in microseconds: the pacing its voice kept (read after HangUp()).
  int64_t mean_gap_us() const { return gaps_ > 1 ? gap_sum_us_ / (gaps_ - 1) : 0; }
  int64_t max_gap_us() const { return max_gap_us_; }
  // Waits until `more` further echoes arrived; false after `timeout_ms`.
  bool WaitEchoes(int64_t more, int timeout_ms) const;

 private:
  void Loop();

  int base_;
  std::string dial_;
  uint8_t marker_;
  std::string from_ip_;
  int shared_voice_port_;
  int channel_ = -1;
  int udp_port_ = 0;
  Fd tcp_;
  Fd udp_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int64_t> sent_{0};
  std::atomic<int64_t> echoed_{0};
  std::atomic<int64_t> foreign_{0};
  int64_t gaps_ = 0, gap_sum_us_ = 0, max_gap_us_ = 0;  // the talking thread's own
};

}  // namespace exchange::testing
