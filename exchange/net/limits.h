// Per-source limits of an exchange that faces the Internet: open connections per address, address queries
// per address per minute, and connections in all. Pure bookkeeping; the servers ask before they accept.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "exchange/call/rate_buckets.h"

namespace exchange {

struct Limits {
  int max_calls = 64;                      // answered calls at once, over every phone-server address
  int max_connections = 1000;              // open TCP connections at once, address and phone servers together
  int connections_per_source = 16;         // open TCP connections from one IPv4 address
  int calls_per_source = 2;                // phone channels held by one IPv4 address
  int queries_per_source_per_minute = 60;  // address queries from one IPv4 address
  // Phone connections from one IPv4 address (a call takes one to four) and dials that reach a far end.
  int connections_per_source_per_minute = 60;
  int dials_per_source_per_minute = 10;
};

class SourceLimits {
 public:
  explicit SourceLimits(const Limits& limits)
      : limits_(limits),
        queries_(limits.queries_per_source_per_minute),
        connections_(limits.connections_per_source_per_minute),
        dials_(limits.dials_per_source_per_minute) {}
  // New limits for what comes next; connections already open stay counted.
  void SetLimits(const Limits& limits) {
    limits_ = limits;
    queries_.SetRate(limits.queries_per_source_per_minute);
    connections_.SetRate(limits.connections_per_source_per_minute);
    dials_.SetRate(limits.dials_per_source_per_minute);
  }

  // Counts a new connection from `ip`, or returns false (and counts nothing) when a limit forbids it.
  bool OpenConnection(uint32_t ip);
  // The same for a phone (or web) call's connection, which may not take the last tenth of the connections:
  // they stay for address queries, or many addresses holding lines would leave nobody able to ask.
  bool OpenCallConnection(uint32_t ip);
  // The process may open `files` descriptors, `reserve` of them kept for listeners, SIP, RTP and logs:
  // connections stop short of the rest whatever max_connections says, so accept() never meets EMFILE
  // (libre's listener would then stay readable and spin the loop).
  void SetDescriptorLimit(int files, int reserve) { ceiling_ = files > reserve ? files - reserve : 1; }
  // False when a just-accepted descriptor lies in the reserve (something uncounted used descriptors up).
  bool DescriptorFree(int fd) const { return ceiling_ <= 0 || fd < ceiling_ + 3; }
  void CloseConnection(uint32_t ip);

  // Takes one address query from `ip` at `now_ms`, or returns false when it is over its rate.
  bool TakeQuery(uint32_t ip, uint64_t now_ms) {
    return queries_.TakeOne(ip, now_ms) == RateBuckets::Take::kTaken;
  }
  // Takes one phone connection from `ip`: connect-dial-close cycles would otherwise flood the PBX and the
  // log.
  RateBuckets::Take TakePhoneConnection(uint32_t ip, uint64_t now_ms) {
    return connections_.TakeOne(ip, now_ms);
  }
  // Dials that reach a far end, for the calls to take from.
  RateBuckets& dials() { return dials_; }

  int open_connections() const { return open_; }

 private:
  Limits limits_;
  int open_ = 0;
  int ceiling_ = 0;  // 0: no descriptor limit known
  std::unordered_map<uint32_t, int> per_source_;
  RateBuckets queries_;
  RateBuckets connections_;
  RateBuckets dials_;
};

}  // namespace exchange
