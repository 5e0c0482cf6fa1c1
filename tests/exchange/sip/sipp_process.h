// SIPp as a child process of a test: started with its own scenario, watched until its port is open, and
// always killed and reaped, so a failing test never leaves a telephone behind.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace exchange {

class SippProcess {
 public:
  SippProcess() = default;
  ~SippProcess() { Kill(); }
  SippProcess(const SippProcess&) = delete;
  SippProcess& operator=(const SippProcess&) = delete;

  // Runs `sipp` with `arguments`, its screen output going to `log_path`. False when it could not be started.
  bool Start(const std::vector<std::string>& arguments, const std::string& log_path);
  // Waits (at most `timeout_ms`) until something listens on the SIP port (UDP, or TCP when `tcp`).
  bool WaitListening(uint16_t port, bool tcp, int timeout_ms) const;
  // The exit status once SIPp has exited (0: every call of the scenario passed), nothing while it runs.
  std::optional<int> Poll();
  void Kill();

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// The text of a file, for showing SIPp's logs when a test fails.
std::string ReadWholeFile(const std::string& path);

}  // namespace exchange
