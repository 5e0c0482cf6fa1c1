#include "exchange/daemon/signal_watch.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>

extern "C" {
#include <re.h>
}

namespace exchange {

namespace {

constexpr int kTaken[] = {SIGHUP, SIGTERM, SIGINT, SIGUSR1, SIGUSR2};
constexpr int kIgnored[] = {SIGPIPE, SIGALRM, SIGIO, SIGPROF, SIGVTALRM, SIGPWR, SIGXFSZ};

}  // namespace

SignalWatch::SignalWatch(Handler handler) : handler_(std::move(handler)) {
  for (int sig : kIgnored)
    std::signal(sig, SIG_IGN);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
    std::signal(sig, SIG_IGN);
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kTaken)
    sigaddset(&set, sig);
  if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return;
  fd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd_ >= 0 && fd_listen(fd_, FD_READ, &SignalWatch::OnReadable, this) != 0) {
    close(fd_);
    fd_ = -1;
  }
}

SignalWatch::~SignalWatch() {
  if (fd_ < 0) return;
  fd_close(fd_);
  close(fd_);
}

void SignalWatch::OnReadable(int, void* arg) {
  auto* self = static_cast<SignalWatch*>(arg);
  signalfd_siginfo info;
  while (read(self->fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
    self->handler_(static_cast<int>(info.ssi_signo));
}

}  // namespace exchange
