#include "exchange/daemon/logger.h"

#include "exchange/protocol/display_text.h"

namespace exchange {

namespace {

constexpr uint64_t kWindowMs = 1000;
constexpr const char* kNames[] = {"error", "warn", "info", "debug"};

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

Logger::Logger(LogLevel level, Sink sink, Clock clock)
    : level_(level), sink_(std::move(sink)), clock_(std::move(clock)) {}

void Logger::Log(LogLevel level, std::string_view text) {
  if (!Enabled(level)) return;
  std::string line = FormatWallClock(clock_());
  line += ' ';
  std::string name = LogLevelName(level);
  name.resize(5, ' ');  // aligns the texts
  line += name;
  line += ' ';
  // One event, one line: a line break inside a text would forge a second entry.
  for (char c : text)
    line += (c == '\n' || c == '\r') ? ' ' : c;
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
