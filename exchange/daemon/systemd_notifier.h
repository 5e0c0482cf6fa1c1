// Tells systemd how the daemon is doing (Type=notify): ready once every listener is up, reloading, stopping,
// a status line, and the watchdog's keep-alive. Through libsystemd's sd_notify; without $NOTIFY_SOCKET every
// call does nothing.
#pragma once

#include <cstdint>
#include <string>

namespace exchange {

class SystemdNotifier {
 public:
  SystemdNotifier();

  // Microseconds within which systemd wants a keep-alive (WatchdogSec), 0 without a watchdog.
  uint64_t watchdog_usec() const { return watchdog_usec_; }

  void Ready(const std::string& status);
  void Reloading();
  void Stopping(const std::string& status);
  void Status(const std::string& status);
  void KeepAlive();

 private:
  void Send(const std::string& state);

  uint64_t watchdog_usec_ = 0;
};

}  // namespace exchange
