// The daemon's log: one line per event on standard output (systemd's journal takes it from there), each with
// an ISO 8601 timestamp with its UTC offset and a level, and a rate limiter so that a flood of rejects cannot
// flood the log. Under the journal each line starts with its syslog priority ("<4>"), so `journalctl -p`
// filters by level; the journal strips the prefix.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace exchange {

enum class LogLevel { kError = 0, kWarn = 1, kInfo = 2, kDebug = 3 };

bool ParseLogLevel(std::string_view text, LogLevel* level);
const char* LogLevelName(LogLevel level);

class Logger {
 public:
  using Sink = std::function<void(const std::string& line)>;  // gets the line without its newline
  using Clock = std::function<std::chrono::system_clock::time_point()>;

  Logger(LogLevel level, Sink sink, Clock clock = &std::chrono::system_clock::now, bool journal = false);

  bool Enabled(LogLevel level) const { return level <= level_; }
  LogLevel level() const { return level_; }
  void SetLevel(LogLevel level) { level_ = level; }
  // "2026-12-09T07:02:38.123+01:00 warn  text", with "<4>" before it for the journal.
  void Log(LogLevel level, std::string_view text);

 private:
  bool journal_;
  LogLevel level_;
  Sink sink_;
  Clock clock_;
};

// "2026-12-09T07:02:38.123+01:00": local time with its offset from UTC ("Z" never: the offset is explicit).
std::string FormatIsoTime(std::chrono::system_clock::time_point when);

// Whether descriptor `fd` is the journal's stream: $JOURNAL_STREAM names its device and inode.
bool IsJournalStream(int fd);
inline bool StdoutIsJournal() {
  return IsJournalStream(1);
}

// Lets at most `per_second` lines of one kind through in each second and counts the others, so that a
// summary ("N more lines suppressed") can be written once the second is over.
class LogRateLimiter {
 public:
  explicit LogRateLimiter(int per_second) : per_second_(per_second) {}

  // Whether a line may be written at `now_ms`; if not, it is counted as suppressed.
  bool Allow(uint64_t now_ms);
  // Lines suppressed in seconds that are over, each reported once; 0 when there is nothing to report.
  uint64_t TakeSuppressed(uint64_t now_ms);

 private:
  void Roll(uint64_t now_ms);

  int per_second_;
  bool started_ = false;
  uint64_t window_start_ms_ = 0;
  int written_ = 0;
  uint64_t suppressed_now_ = 0;   // in the current second
  uint64_t suppressed_over_ = 0;  // in seconds that are over, not yet reported
};

}  // namespace exchange
