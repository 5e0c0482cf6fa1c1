// Wrong passwords for direct numbers, counted per source address and over the whole exchange, so a guesser
// gets a handful of tries and then waits longer and longer. While a source (or the exchange) is locked out,
// every direct-number dial is refused unchecked: a lock that let the right password through would tell the
// guesser when it had found it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace exchange {

struct DirectNumberBudget {
  int free_failures_per_source = 3;   // wrong passwords from one address before it must wait
  uint64_t first_lockout_ms = 10000;  // that wait; it doubles with each further failure
  uint64_t max_lockout_ms = 3600000;
  int failures_per_window = 30;  // wrong passwords from everyone together within a window
  uint64_t window_ms = 600000;   // beyond them, direct numbers are shut until the window ends
};

class DirectNumberGuard {
 public:
  explicit DirectNumberGuard(DirectNumberBudget budget = {}) : budget_(budget) {}

  // How long direct dials from `ip` stay refused (0: may be tried now).
  uint64_t LockedForMs(uint32_t ip, uint64_t now_ms) const;
  void RecordFailure(uint32_t ip, uint64_t now_ms);
  void RecordSuccess(uint32_t ip);

  size_t sources() const { return sources_.size(); }

 private:
  struct Source {
    int failures = 0;
    uint64_t locked_until_ms = 0;
    uint64_t last_failure_ms = 0;
  };
  void Forget(uint64_t now_ms);

  DirectNumberBudget budget_;
  std::unordered_map<uint32_t, Source> sources_;
  uint64_t window_start_ms_ = 0;
  int window_failures_ = 0;
  uint64_t last_sweep_ms_ = 0;
};

}  // namespace exchange
