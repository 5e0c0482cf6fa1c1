#include "exchange/daemon/daemon.h"

#include <sys/resource.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

extern "C" {
#include <re.h>
}

#include "exchange/daemon/event_log.h"
#include "exchange/daemon/logger.h"
#include "exchange/daemon/metrics.h"
#include "exchange/daemon/metrics_server.h"
#include "exchange/farend/builtin_far_ends.h"
#include "exchange/farend/sip/sip_far_end_factory.h"
#include "exchange/net/exchange.h"

namespace exchange {

namespace {

constexpr rlim_t kWantedFiles = 65536;
constexpr uint64_t kFlushMs = 1000;
constexpr uint64_t kStopGraceMs = 300;

class Observers : public ExchangeObserver {
 public:
  Observers(EventLog& log, ExchangeMetrics& metrics) : log_(log), metrics_(metrics) {}
  void OnEvent(const ExchangeEvent& event) override {
    metrics_.OnEvent(event);
    log_.OnEvent(event);
  }

 private:
  EventLog& log_;
  ExchangeMetrics& metrics_;
};

// What the signal handler reaches: re_main calls it from the loop, not from the signal's context.
Exchange* g_exchange = nullptr;
Logger* g_logger = nullptr;
struct tmr g_stop_timer;
bool g_stopping = false;

void StopLoop(void*) {
  re_cancel();
}

const char* SignalName(int sig) {
  return sig == SIGTERM ? "SIGTERM" : sig == SIGINT ? "SIGINT" : "signal";
}

void OnSignal(int sig) {
  if (g_stopping) {  // a second signal does not wait
    re_cancel();
    return;
  }
  g_stopping = true;
  if (g_logger != nullptr)
    g_logger->Log(LogLevel::kInfo, std::string(SignalName(sig)) + " received: ending every call");
  if (g_exchange != nullptr) g_exchange->Shutdown("exchange shutting down");
  // A moment more of the loop lets the far ends' hang-ups (a SIP BYE or CANCEL) go out before exiting.
  tmr_start(&g_stop_timer, kStopGraceMs, &StopLoop, nullptr);
}

void WriteLine(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Every call holds a TCP connection and maybe a SIP dialogue with RTP: hundreds of calls need more than the
// usual 1024 descriptors.
int RaiseFileLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  rlim_t wanted =
      limit.rlim_max == RLIM_INFINITY || limit.rlim_max > kWantedFiles ? kWantedFiles : limit.rlim_max;
  if (limit.rlim_cur < wanted) {
    limit.rlim_cur = wanted;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) getrlimit(RLIMIT_NOFILE, &limit);
  }
  return static_cast<int>(limit.rlim_cur);
}

struct FlushTimer {
  struct tmr timer;
  EventLog* log = nullptr;

  static void Tick(void* arg) {
    auto* self = static_cast<FlushTimer*>(arg);
    self->log->Flush();
    tmr_start(&self->timer, kFlushMs, &FlushTimer::Tick, self);
  }
};

int Serve(const DaemonConfig& config, Logger& logger, int files) {
  EventLog event_log(logger, [] { return tmr_jiffies(); });
  ExchangeMetrics metrics;
  Observers observers(event_log, metrics);

  FarEndRegistry far_ends;
  AddBuiltInFarEnds(&far_ends);
  if (config.has_sip) {
    std::string error;
    auto sip = SipFarEndFactory::Open(config.sip, &error, [&logger](const std::string& line) {
      logger.Log(LogLevel::kInfo, "sip: " + line);
    });
    if (!sip) {
      logger.Log(LogLevel::kError, "sip far end: " + error);
      return 1;
    }
    far_ends.Add("sip", std::move(sip));
  }

  Exchange exchange(config.exchange, far_ends, &observers);
  std::string error;
  if (!exchange.Start(&error)) {
    logger.Log(LogLevel::kError, "cannot start: " + error);
    return 1;
  }
  MetricsServer metrics_server([&] {
    return metrics.Render(ExchangeMetrics::Gauges{exchange.active_calls(), exchange.open_connections()});
  });
  if (config.metrics.enabled) {
    if (!metrics_server.Start(config.metrics.address, config.metrics.port, &error)) {
      logger.Log(LogLevel::kError, "cannot start: " + error);
      return 1;
    }
    logger.Log(LogLevel::kInfo, "metrics on http://" + config.metrics.address + ":" +
                                    std::to_string(metrics_server.port()) + "/metrics");
  }

  int needed = config.exchange.limits.max_connections +
               8 * static_cast<int>(config.exchange.phone_servers.size()) + 64;
  if (files < needed)
    logger.Log(LogLevel::kWarn, "only " + std::to_string(files) + " file descriptors: max_connections " +
                                    std::to_string(config.exchange.limits.max_connections) +
                                    " may not be reached");

  FlushTimer flush;
  tmr_init(&flush.timer);
  flush.log = &event_log;
  tmr_start(&flush.timer, kFlushMs, &FlushTimer::Tick, &flush);

  g_exchange = &exchange;
  tmr_init(&g_stop_timer);
  int err = re_main(&OnSignal);
  g_exchange = nullptr;
  tmr_cancel(&g_stop_timer);
  tmr_cancel(&flush.timer);
  exchange.Shutdown("exchange shutting down");
  metrics_server.Stop();
  event_log.Flush();
  if (err != 0) {
    logger.Log(LogLevel::kError, std::string("event loop failed: ") + std::strerror(err));
    return 1;
  }
  logger.Log(LogLevel::kInfo, "stopped");
  return 0;
}

}  // namespace

void AddBuiltInFarEnds(FarEndRegistry* registry) {
  registry->Add("echo", MakeEchoFarEndFactory());
  registry->Add("tone", MakeToneFarEndFactory());
}

int RunDaemon(const DaemonConfig& config) {
  std::signal(SIGPIPE, SIG_IGN);
  Logger logger(config.log_level, &WriteLine);
  g_logger = &logger;
  int files = RaiseFileLimit();
  if (int err = libre_init()) {
    logger.Log(LogLevel::kError, std::string("libre_init failed: ") + std::strerror(err));
    return 1;
  }
  fd_setsize(files);
  logger.Log(LogLevel::kInfo, "pelvarine-exchange " PELVARINE_VERSION " with " + config.source +
                                  ", log level " + LogLevelName(config.log_level));
  for (const std::string& note : config.notes)
    logger.Log(LogLevel::kWarn, note);
  for (const auto& [dial, route] : config.exchange.dial_plan.extensions())
    logger.Log(LogLevel::kInfo,
               "dial " + dial + " -> " + route.far_end + (route.target.empty() ? "" : " " + route.target));
  int status = Serve(config, logger, files);
  libre_close();
  g_logger = nullptr;
  return status;
}

}  // namespace exchange
