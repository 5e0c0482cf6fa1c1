#include "exchange/daemon/logger.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace exchange {

namespace {

constexpr uint64_t kWindowMs = 1000;
constexpr const char* kNames[] = {"error", "warn", "info", "debug"};
constexpr const char* kPriorities[] = {"<3>", "<4>", "<6>", "<7>"};  // syslog's err, warning, info, debug

}  // namespace

bool ParseLogLevel(std::string_view text, LogLevel* level) {
  for (int i = 0; i < 4; ++i) {
    if (text == kNames[i]) {
      *level = static_cast<LogLevel>(i);
      return true;
    }
  }
  return false;
}

const char* LogLevelName(LogLevel level) {
  return kNames[static_cast<int>(level)];
}

std::string FormatIsoTime(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  auto ms = duration_cast<milliseconds>(when.time_since_epoch()).count();
  std::time_t secs = static_cast<std::time_t>(ms / 1000);
  std::tm local{};
  localtime_r(&secs, &local);
  long offset_min = local.tm_gmtoff / 60;
  char sign = offset_min < 0 ? '-' : '+';
  if (offset_min < 0) offset_min = -offset_min;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(ms % 1000), sign, offset_min / 60, offset_min % 60);
  return buf;
}

bool IsJournalStream(int fd) {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  unsigned long long device = 0;
  unsigned long long inode = 0;
  if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
  struct stat out;
  if (fstat(fd, &out) != 0) return false;
  return out.st_dev == device && out.st_ino == inode;
}

Logger::Logger(LogLevel level, Sink sink, Clock clock, bool journal)
    : journal_(journal), level_(level), sink_(std::move(sink)), clock_(std::move(clock)) {}

void Logger::Log(LogLevel level, std::string_view text) {
  if (!Enabled(level)) return;
  std::string line = journal_ ? kPriorities[static_cast<int>(level)] : "";
  line += FormatIsoTime(clock_());
  line += ' ';
  std::string name = LogLevelName(level);
  name.resize(5, ' ');  // aligns the texts
  line += name;
  line += ' ';
  // One event, one line: a line break inside a text would forge a second entry, and an escape sequence
  // (a library's colours, a visitor's bytes) would paint the operator's terminal.
  for (char c : text)
    line += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? ' ' : c;
  sink_(line);
}

void LogRateLimiter::Roll(uint64_t now_ms) {
  if (!started_) {
    started_ = true;
    window_start_ms_ = now_ms;
    return;
  }
  if (now_ms - window_start_ms_ < kWindowMs) return;
  suppressed_over_ += suppressed_now_;
  suppressed_now_ = 0;
  written_ = 0;
  window_start_ms_ = now_ms;
}

bool LogRateLimiter::Allow(uint64_t now_ms) {
  Roll(now_ms);
  if (written_ < per_second_) {
    ++written_;
    return true;
  }
  ++suppressed_now_;
  return false;
}

uint64_t LogRateLimiter::TakeSuppressed(uint64_t now_ms) {
  Roll(now_ms);
  uint64_t n = suppressed_over_;
  suppressed_over_ = 0;
  return n;
}

}  // namespace exchange
