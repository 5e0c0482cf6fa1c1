// The signals the daemon answers, taken in its event loop: they are blocked and read from a signalfd that
// libre watches, so every handler runs between two events and may do anything. The signals that would end
// the process by default and mean nothing to it are ignored on purpose; the faults (SIGSEGV, SIGABRT...)
// and SIGQUIT keep their default: a core dump is what they are for.
#pragma once

#include <functional>

namespace exchange {

class SignalWatch {
 public:
  using Handler = std::function<void(int sig)>;

  // Takes SIGHUP, SIGTERM, SIGINT, SIGUSR1 and SIGUSR2 to `handler`; ignores SIGPIPE, SIGALRM, SIGIO,
  // SIGPROF, SIGVTALRM, SIGPWR, SIGXFSZ and the real-time signals. Needs libre_init() first.
  explicit SignalWatch(Handler handler);
  ~SignalWatch();
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

  bool ok() const { return fd_ >= 0; }

 private:
  static void OnReadable(int flags, void* arg);

  Handler handler_;
  int fd_ = -1;
};

}  // namespace exchange
