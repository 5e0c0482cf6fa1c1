#include "exchange/daemon/systemd_notifier.h"

#include <systemd/sd-daemon.h>

namespace exchange {

SystemdNotifier::SystemdNotifier() {
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0) watchdog_usec_ = usec;
}

void SystemdNotifier::Send(const std::string& state) {
  sd_notify(0, state.c_str());
}

void SystemdNotifier::Ready(const std::string& status) {
  Send("READY=1\nSTATUS=" + status);
}

void SystemdNotifier::Reloading() {
  Send("RELOADING=1");
}

void SystemdNotifier::Stopping(const std::string& status) {
  Send("STOPPING=1\nSTATUS=" + status);
}

void SystemdNotifier::Status(const std::string& status) {
  Send("STATUS=" + status);
}

void SystemdNotifier::KeepAlive() {
  if (watchdog_usec_ > 0) Send("WATCHDOG=1");
}

}  // namespace exchange
