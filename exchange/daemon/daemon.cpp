#include "exchange/daemon/daemon.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

extern "C" {
#include <re.h>
}

#include "exchange/daemon/event_log.h"
#include "exchange/daemon/libre_log.h"
#include "exchange/daemon/logger.h"
#include "exchange/daemon/metrics.h"
#include "exchange/daemon/metrics_server.h"
#include "exchange/daemon/signal_watch.h"
#include "exchange/daemon/systemd_notifier.h"
#include "exchange/farend/builtin_far_ends.h"
#include "exchange/farend/sip/sip_far_end_factory.h"
#include "exchange/net/exchange.h"
#include "exchange/web/web_server.h"

namespace exchange {

namespace {

constexpr rlim_t kWantedFiles = 65536;
constexpr uint64_t kTickMs = 1000;
constexpr uint64_t kDrainCheckMs = 100;
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

std::string Join(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names)
    text += (text.empty() ? "" : ", ") + name;
  return text;
}

// A libre timer that calls a member function.
class LoopTimer {
 public:
  explicit LoopTimer(std::function<void()> fire) : fire_(std::move(fire)) { tmr_init(&timer_); }
  ~LoopTimer() { tmr_cancel(&timer_); }
  void Start(uint64_t ms) { tmr_start(&timer_, ms, &LoopTimer::Fire, this); }
  void Cancel() { tmr_cancel(&timer_); }

 private:
  static void Fire(void* arg) { static_cast<LoopTimer*>(arg)->fire_(); }
  struct tmr timer_;
  std::function<void()> fire_;
};

// One run of the daemon, from the first listener to the exit.
class Daemon {
 public:
  Daemon(const DaemonConfig& config, std::string config_path, Logger& logger)
      : config_(config),
        path_(std::move(config_path)),
        logger_(logger),
        event_log_(logger, [] { return tmr_jiffies(); }),
        observers_(event_log_, metrics_),
        signals_([this](int sig) { OnSignal(sig); }),
        tick_([this] { Tick(); }),
        drain_([this] { CheckDrain(); }),
        stop_([] { re_cancel(); }) {}

  int Run(int files);

 private:
  bool OpenSip();
  bool OpenWeb(std::string* error);
  std::string Status() const;
  void Tick();
  void OnSignal(int sig);
  void Reload();
  void Drain(const char* signal_name);
  void CheckDrain();
  void StopNow(const std::string& why);

  DaemonConfig config_;
  std::string path_;
  Logger& logger_;
  EventLog event_log_;
  ExchangeMetrics metrics_;
  Observers observers_;
  FarEndRegistry far_ends_;
  SipFarEndFactory* sip_ = nullptr;  // owned by far_ends_
  std::unique_ptr<Exchange> exchange_;
  std::unique_ptr<WebServer> web_;  // the visitor's web page, when configured
  std::unique_ptr<MetricsServer> metrics_server_;
  SystemdNotifier systemd_;
  SignalWatch signals_;
  LoopTimer tick_;
  LoopTimer drain_;
  LoopTimer stop_;
  ProcessFigures process_;
  uint64_t drain_deadline_ms_ = 0;
  bool stopping_ = false;
};

bool Daemon::OpenSip() {
  std::string error;
  auto sip = SipFarEndFactory::Open(
      config_.sip, &error, [this](const std::string& line) { logger_.Log(LogLevel::kInfo, "sip: " + line); });
  if (!sip) {
    logger_.Log(LogLevel::kError, "sip far end: " + error);
    return false;
  }
  sip->SetWarn([this](const std::string& line) { event_log_.Warn(EventLog::kSipTrunk, line); });
  sip_ = sip.get();
  far_ends_.Add("sip", std::move(sip));
  return true;
}

bool Daemon::OpenWeb(std::string* error) {
  WebConfig web = config_.web;
  // The installed page, or the source tree's when the exchange runs from its build folder.
  if (web.page_folder.empty())
    web.page_folder = access(PELVARINE_WEB_PAGE_FOLDER "/index.html", R_OK) == 0
                          ? PELVARINE_WEB_PAGE_FOLDER
                          : PELVARINE_WEB_SOURCE_FOLDER;
  web_ = std::make_unique<WebServer>(exchange_->context(), web);
  if (!web_->Start(error)) {
    web_.reset();
    return false;
  }
  exchange_->context().other_calls = [this] { return web_->load(); };
  exchange_->context().other_calls_from = [this](uint32_t ip) { return web_->CallsFrom(ip); };
  return true;
}

int Daemon::Run(int files) {
  if (!signals_.ok()) {
    logger_.Log(LogLevel::kError, std::string("cannot watch signals: ") + std::strerror(errno));
    return 1;
  }
  AddBuiltInFarEnds(&far_ends_);
  if (config_.has_sip && !OpenSip()) return 1;

  exchange_ = std::make_unique<Exchange>(config_.exchange, far_ends_, &observers_);
  // Listeners, SIP, an RTP socket per call, logs, metrics and web connections stay out of the connections'
  // share of the descriptors.
  int reserve = 64 + 8 * static_cast<int>(config_.exchange.phone_servers.size()) +
                config_.exchange.limits.max_calls + MetricsServer::kMaxConnections;
  if (config_.web.enabled) {  // the page's gate: at most a quarter of the descriptors
    constexpr int kEach = PageGate::kDescriptorsPerConnection;
    config_.web.max_page_connections =
        std::min(config_.web.max_page_connections, std::max(4, files / 4 / kEach));
    reserve += kEach * config_.web.max_page_connections;
  }
  exchange_->SetDescriptorLimit(files, reserve);
  std::string error;
  if (!exchange_->Start(&error)) {
    logger_.Log(LogLevel::kError, "cannot start: " + error);
    return 1;
  }
  if (config_.web.enabled && !OpenWeb(&error)) {
    logger_.Log(LogLevel::kError, "cannot start: " + error);
    return 1;
  }
  process_.start_time_seconds = static_cast<double>(std::time(nullptr));
  metrics_server_ = std::make_unique<MetricsServer>([this] {
    ExchangeMetrics::Gauges g;
    g.active_calls = exchange_->active_calls();
    g.open_connections = exchange_->open_connections();
    g.taking_calls = exchange_->taking_calls();
    g.live = exchange_->LiveFigures();
    g.sip = sip_ != nullptr ? &sip_->health() : nullptr;
    ReadProcessFigures(&process_);
    g.process = process_;
    return metrics_.Render(g);
  });
  if (config_.metrics.enabled) {
    if (!metrics_server_->Start(config_.metrics.address, config_.metrics.port, &error)) {
      logger_.Log(LogLevel::kError, "cannot start: " + error);
      return 1;
    }
    logger_.Log(LogLevel::kInfo, "metrics on http://" + config_.metrics.address + ":" +
                                     std::to_string(metrics_server_->port()) + "/metrics");
  }

  if (files - reserve < config_.exchange.limits.max_connections)
    logger_.Log(LogLevel::kWarn, "only " + std::to_string(files) + " file descriptors: connections stop at " +
                                     std::to_string(std::max(1, files - reserve)) + ", not max_connections " +
                                     std::to_string(config_.exchange.limits.max_connections));

  systemd_.Ready(Status());
  if (systemd_.watchdog_usec() > 0)
    logger_.Log(LogLevel::kInfo, "watchdog: a keep-alive to systemd every " +
                                     std::to_string(systemd_.watchdog_usec() / 2000) + " ms");
  Tick();
  int err = re_main(nullptr);
  tick_.Cancel();
  drain_.Cancel();
  if (web_) web_->Shutdown("exchange shutting down");
  exchange_->context().other_calls = nullptr;
  exchange_->context().other_calls_from = nullptr;
  exchange_->Shutdown("exchange shutting down");
  metrics_server_->Stop();
  event_log_.Flush();
  if (err != 0) {
    logger_.Log(LogLevel::kError, std::string("event loop failed: ") + std::strerror(err));
    return 1;
  }
  logger_.Log(LogLevel::kInfo, "stopped");
  return 0;
}

std::string Daemon::Status() const {
  std::string status = std::to_string(exchange_->active_calls()) + " active call(s), " +
                       std::to_string(exchange_->open_connections()) + " connection(s)";
  if (!exchange_->taking_calls()) status += ", draining: no new calls";
  if (sip_ != nullptr && config_.sip.register_trunk)
    status +=
        std::string(", sip registration ") + SipTrunkHealth::RegistrationName(sip_->health().registration());
  return status;
}

// Once a second, and at half the watchdog's interval when that is shorter: the keep-alive comes from the
// loop itself, so a loop that stops turning stops it, and systemd restarts the exchange.
void Daemon::Tick() {
  event_log_.Flush();
  systemd_.KeepAlive();
  systemd_.Status(Status());
  uint64_t every = kTickMs;
  if (systemd_.watchdog_usec() > 0)
    every = std::min<uint64_t>(every, std::max<uint64_t>(systemd_.watchdog_usec() / 2000, 1));
  tick_.Start(every);
}

void Daemon::OnSignal(int sig) {
  switch (sig) {
    case SIGHUP:
      Reload();
      return;
    case SIGTERM:
      if (stopping_) {
        StopNow("second SIGTERM received: ending every call now");
        return;
      }
      Drain("SIGTERM");
      return;
    case SIGINT:
      StopNow("SIGINT received: ending every call");
      return;
    default:
      logger_.Log(LogLevel::kWarn, std::string(strsignal(sig)) + " (signal " + std::to_string(sig) +
                                       ") ignored: SIGHUP reloads, SIGTERM drains, SIGINT stops");
  }
}

void Daemon::Reload() {
  if (path_.empty()) {
    logger_.Log(LogLevel::kWarn, "SIGHUP: the built-in default has no file to re-read; nothing changed");
    return;
  }
  systemd_.Reloading();
  DaemonConfig next;
  std::vector<std::string> problems;
  FarEndRegistry built_in;
  AddBuiltInFarEnds(&built_in);
  if (!LoadDaemonConfig(path_, built_in, &next, &problems)) {
    for (const std::string& problem : problems)
      logger_.Log(LogLevel::kError, problem);
    logger_.Log(LogLevel::kError, "reload refused: " + std::to_string(problems.size()) + " problem(s) in " +
                                      path_ + "; the running configuration stays");
    systemd_.Ready(Status());
    return;
  }
  std::vector<std::string> kept = exchange_->Reconfigure(next.exchange);
  if (next.metrics.enabled != config_.metrics.enabled || next.metrics.address != config_.metrics.address ||
      next.metrics.port != config_.metrics.port)
    kept.push_back("metrics");
  const WebConfig& w = next.web;
  if (w.enabled != config_.web.enabled || w.listen != config_.web.listen || w.port != config_.web.port ||
      w.media_port != config_.web.media_port || w.certificate_file != config_.web.certificate_file ||
      w.public_address != config_.web.public_address || w.origins != config_.web.origins ||
      w.trusted_proxies != config_.web.trusted_proxies || w.page_folder != config_.web.page_folder)
    kept.push_back("[web]");
  if (next.has_sip != config_.has_sip) {
    kept.push_back(next.has_sip ? "[sip] (added)" : "[sip] (removed)");
  } else if (sip_ != nullptr) {
    std::string error;
    std::vector<std::string> sip_kept = sip_->Reconfigure(next.sip, &error);
    for (const std::string& name : sip_kept)
      kept.push_back("[sip] " + name);
    if (!error.empty()) logger_.Log(LogLevel::kError, "sip: " + error);
    config_.sip = next.sip;
  }
  config_.exchange = exchange_->config();
  config_.log_level = next.log_level;
  config_.drain_seconds = next.drain_seconds;
  config_.notes = next.notes;
  logger_.SetLevel(next.log_level);
  RouteLibreLog(&logger_);
  for (const std::string& note : next.notes)
    logger_.Log(LogLevel::kWarn, note);
  if (!kept.empty())
    logger_.Log(LogLevel::kWarn,
                "reload: " + Join(kept) +
                    " changed but need(s) new sockets: the running values stay until a restart");
  logger_.Log(LogLevel::kInfo, "reloaded " + path_ + ": " +
                                   std::to_string(config_.exchange.dial_plan.extensions().size()) +
                                   " dial string(s), log level " + LogLevelName(next.log_level) +
                                   "; calls in progress keep their settings");
  systemd_.Ready(Status());
}

void Daemon::Drain(const char* signal_name) {
  stopping_ = true;
  int calls = exchange_->active_calls();
  if (config_.drain_seconds == 0 || calls == 0) {
    StopNow(std::string(signal_name) + " received: ending every call");
    return;
  }
  exchange_->StopTakingCalls();
  logger_.Log(LogLevel::kInfo, std::string(signal_name) + " received: taking no new calls; " +
                                   std::to_string(calls) + " call(s) in progress may go on for up to " +
                                   std::to_string(config_.drain_seconds) +
                                   " s (SIGTERM again or SIGINT ends them now)");
  systemd_.Stopping(Status());
  drain_deadline_ms_ = tmr_jiffies() + static_cast<uint64_t>(config_.drain_seconds) * 1000;
  drain_.Start(kDrainCheckMs);
}

void Daemon::CheckDrain() {
  int calls = exchange_->active_calls();
  if (calls == 0) {
    StopNow("drained: every call has ended");
    return;
  }
  if (tmr_jiffies() >= drain_deadline_ms_) {
    StopNow("drain time over (" + std::to_string(config_.drain_seconds) + " s): ending " +
            std::to_string(calls) + " call(s)");
    return;
  }
  drain_.Start(kDrainCheckMs);
}

void Daemon::StopNow(const std::string& why) {
  stopping_ = true;
  drain_.Cancel();
  logger_.Log(LogLevel::kInfo, why);
  systemd_.Stopping(why);
  if (web_) web_->Shutdown("exchange shutting down");
  exchange_->Shutdown("exchange shutting down");
  // A moment more of the loop lets the far ends' hang-ups (a SIP BYE or CANCEL) go out before exiting.
  stop_.Start(kStopGraceMs);
}

}  // namespace

void AddBuiltInFarEnds(FarEndRegistry* registry) {
  registry->Add("echo", MakeEchoFarEndFactory());
  registry->Add("tone", MakeToneFarEndFactory());
}

int RunDaemon(const DaemonConfig& config, const std::string& config_path) {
  Logger logger(config.log_level, &WriteLine, &std::chrono::system_clock::now, StdoutIsJournal());
  int files = RaiseFileLimit();
  if (int err = libre_init()) {
    logger.Log(LogLevel::kError, std::string("libre_init failed: ") + std::strerror(err));
    return 1;
  }
  RouteLibreLog(&logger);
  fd_setsize(files);
  logger.Log(LogLevel::kInfo, "pelvarine-exchange " PELVARINE_VERSION " with " + config.source +
                                  ", log level " + LogLevelName(config.log_level));
  for (const std::string& note : config.notes)
    logger.Log(LogLevel::kWarn, note);
  for (const auto& [dial, route] : config.exchange.dial_plan.extensions())
    logger.Log(LogLevel::kInfo,
               "dial " + dial + " -> " + route.far_end + (route.target.empty() ? "" : " " + route.target));
  int status = 0;
  {
    Daemon daemon(config, config_path, logger);
    status = daemon.Run(files);
  }
  RouteLibreLog(nullptr);
  libre_close();
  return status;
}

}  // namespace exchange
