// exchange-sim command line: runs the simulator and logs to stdout until a signal or --duration.
#include <signal.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "exchange_sim.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  exsim::CliConfig config;
  std::string error;
  if (!exsim::ParseCommandLine(args, &config, &error)) {
    std::cerr << "exchange-sim: " << error << "\n\n" << exsim::Usage("exchange-sim");
    return 2;
  }
  if (config.help) {
    std::cout << exsim::Usage("exchange-sim");
    return 0;
  }

  // Block the stop signals in every thread; the main thread collects them with sigtimedwait.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  config.options.log_callback = [](const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  };
  if (config.options.max_events == 0) config.options.max_events = 10000;

  exsim::Simulator sim(config.options);
  if (!sim.Start(&error)) {
    std::cerr << "exchange-sim: " << error << "\n";
    return 1;
  }

  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  double whole = std::floor(config.duration_seconds);
  deadline.tv_sec += static_cast<time_t>(whole);
  deadline.tv_nsec += static_cast<long>((config.duration_seconds - whole) * 1e9);
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  for (;;) {
    timespec wait{1, 0};
    if (config.duration_seconds > 0) {
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      long long left_ns = (deadline.tv_sec - now.tv_sec) * 1000000000LL + (deadline.tv_nsec - now.tv_nsec);
      if (left_ns <= 0) break;
      if (left_ns < 1000000000LL) wait = timespec{0, static_cast<long>(left_ns)};
    }
    int sig = sigtimedwait(&stop_signals, nullptr, &wait);
    if (sig == SIGINT || sig == SIGTERM) {
      std::printf("exchange-sim: signal %d, stopping\n", sig);
      break;
    }
  }
  sim.Stop();
  return 0;
}
