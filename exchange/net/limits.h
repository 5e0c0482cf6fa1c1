// Per-source limits of an exchange that faces the Internet: open connections per address, address queries
// per address per minute, and connections in all. Pure bookkeeping; the servers ask before they accept.
#pragma once

#include <cstdint>
#include <unordered_map>

namespace exchange {

struct Limits {
  int max_calls = 64;                      // answered calls at once, over every phone-server address
  int max_connections = 1000;              // open TCP connections at once, address and phone servers together
  int connections_per_source = 16;         // open TCP connections from one IPv4 address
  int calls_per_source = 2;                // phone channels held by one IPv4 address
  int queries_per_source_per_minute = 60;  // address queries from one IPv4 address
};

class SourceLimits {
 public:
  explicit SourceLimits(const Limits& limits) : limits_(limits) {}
  // New limits for what comes next; connections already open stay counted.
  void SetLimits(const Limits& limits) { limits_ = limits; }

  // Counts a new connection from `ip`, or returns false (and counts nothing) when a limit forbids it.
  bool OpenConnection(uint32_t ip);
  // The process may open `files` descriptors, `reserve` of them kept for listeners, SIP, RTP and logs:
  // connections stop short of the rest whatever max_connections says, so accept() never meets EMFILE
  // (libre's listener would then stay readable and spin the loop).
  void SetDescriptorLimit(int files, int reserve) { ceiling_ = files > reserve ? files - reserve : 1; }
  // False when a just-accepted descriptor lies in the reserve (something uncounted used descriptors up).
  bool DescriptorFree(int fd) const { return ceiling_ <= 0 || fd < ceiling_ + 3; }
  void CloseConnection(uint32_t ip);

  // Takes one address query from `ip` at `now_ms`, or returns false when it is over its rate.
  bool TakeQuery(uint32_t ip, uint64_t now_ms);

  int open_connections() const { return open_; }

 private:
  struct Bucket {
    double tokens = 0;
    uint64_t updated_ms = 0;
  };

  void ForgetIdleBuckets(uint64_t now_ms);

  Limits limits_;
  int open_ = 0;
  int ceiling_ = 0;  // 0: no descriptor limit known
  std::unordered_map<uint32_t, int> per_source_;
  std::unordered_map<uint32_t, Bucket> buckets_;
  uint64_t last_sweep_ms_ = 0;
};

}  // namespace exchange
