// SIPp (or the exchange's daemon) as a child process of a test: started with its own arguments, watched until
// its port is open, and always killed and reaped, so a failing test never leaves a process behind.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace exchange {

class SippProcess {
 public:
  explicit SippProcess(std::string program = "sipp") : program_(std::move(program)) {}
  ~SippProcess() { Kill(); }
  SippProcess(const SippProcess&) = delete;
  SippProcess& operator=(const SippProcess&) = delete;

  // Runs the program with `arguments`, its screen output going to `log_path`. False when it could not be
  // started.
  bool Start(const std::vector<std::string>& arguments, const std::string& log_path);
  // Waits (at most `timeout_ms`) until something listens on the SIP port (UDP, or TCP when `tcp`).
  bool WaitListening(uint16_t port, bool tcp, int timeout_ms) const;
  // The exit status once SIPp has exited (0: every call of the scenario passed), nothing while it runs.
  std::optional<int> Poll();
  void Kill();
  // Asks it to stop (SIGTERM) and waits up to `timeout_ms` for it; its exit status, or -1 if it had to be
  // killed.
  int Terminate(int timeout_ms);
  pid_t pid() const { return pid_; }

 private:
  std::string program_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// The text of a file, for showing SIPp's logs when a test fails.
std::string ReadWholeFile(const std::string& path);

}  // namespace exchange
