// A visitor's client reduced to its wire behaviour, on non-blocking POSIX sockets so that one thread can
// drive hundreds: it connects to a phone channel, dials when invited to, then sends one 16 ms block of a
// known A-law pattern per tick and records what comes back, with arrival times.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace exchange {

// The same deterministic, non-repeating A-law stream for every client: any 8 bytes in a row say where in
// it they come from.
const std::vector<uint8_t>& VoicePattern();
// Where the 8 bytes at `bytes` lie in VoicePattern(), or -1.
long PatternPosition(const uint8_t* bytes);

class FakeVoiceClient {
 public:
  FakeVoiceClient(std::string server_ip, int tcp_port, int udp_port, std::string dial);
  ~FakeVoiceClient();
  FakeVoiceClient(const FakeVoiceClient&) = delete;
  FakeVoiceClient& operator=(const FakeVoiceClient&) = delete;

  bool Connect();
  // Reads whatever the exchange sent (tags, voice); `now_ms` stamps the voice.
  void Service(uint64_t now_ms);
  // The client's 16 ms tick: the next block of the pattern, once dialled, sent `delay_ms` later (network
  // jitter; later blocks may overtake it).
  void Tick(uint64_t now_ms, uint32_t delay_ms = 0);
  // Sends the delayed blocks that are due.
  void Flush(uint64_t now_ms);
  void HangUp();

  int tcp_fd() const { return tcp_fd_; }
  int udp_fd() const { return udp_fd_; }
  bool dialled() const { return dialled_; }
  bool closed_by_exchange() const { return closed_by_exchange_; }
  const std::string& tags() const { return tags_; }
  uint64_t blocks_sent() const { return next_block_; }
  uint64_t datagrams_received() const { return received_; }
  // The echoed pattern as received, in arrival order (non-pattern audio left out).
  const std::vector<uint8_t>& echoed() const { return echoed_; }
  // Round trips of echoed blocks, ms: from sending a block to receiving the start of it back.
  const std::vector<uint32_t>& round_trips_ms() const { return round_trips_ms_; }

 private:
  std::string server_ip_;
  int tcp_port_;
  int udp_port_;
  std::string dial_;
  int tcp_fd_ = -1;
  int udp_fd_ = -1;
  bool dialled_ = false;
  bool closed_by_exchange_ = false;
  std::string tags_;
  uint64_t next_block_ = 0;
  uint64_t received_ = 0;
  std::vector<uint64_t> sent_at_ms_;
  std::vector<std::pair<uint64_t, uint64_t>> delayed_;  // (due, block)
  std::vector<uint8_t> echoed_;
  std::vector<uint32_t> round_trips_ms_;
};

uint64_t MonotonicMs();

}  // namespace exchange
