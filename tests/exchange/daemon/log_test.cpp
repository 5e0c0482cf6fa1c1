#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include <string>
#include <vector>

#include "exchange/daemon/event_log.h"
#include "exchange/daemon/libre_log.h"
#include "exchange/daemon/logger.h"

#define DEBUG_MODULE "test"
#define DEBUG_LEVEL 0
extern "C" {
#include <re.h>
#include <re_dbg.h>
}

namespace exchange {
namespace {

using Kind = ExchangeEvent::Kind;

TEST(LogRateLimiterTest, LetsAFewLinesThroughEachSecondAndCountsTheRest) {
  LogRateLimiter limiter(3);
  int allowed = 0;
  for (int i = 0; i < 100; ++i)
    allowed += limiter.Allow(1000 + static_cast<uint64_t>(i)) ? 1 : 0;
  EXPECT_EQ(allowed, 3);
  EXPECT_EQ(limiter.TakeSuppressed(1500), 0u);  // the second is not over yet
  EXPECT_EQ(limiter.TakeSuppressed(2000), 97u);
  EXPECT_EQ(limiter.TakeSuppressed(2001), 0u);  // reported once
  // A new second lets lines through again.
  EXPECT_TRUE(limiter.Allow(2002));
  EXPECT_TRUE(limiter.Allow(2003));
  EXPECT_TRUE(limiter.Allow(2004));
  EXPECT_FALSE(limiter.Allow(2005));
  EXPECT_EQ(limiter.TakeSuppressed(5000), 1u);
}

TEST(LogRateLimiterTest, SuppressedLinesOfSeveralSecondsAddUp) {
  LogRateLimiter limiter(1);
  for (uint64_t t = 0; t < 3000; t += 100)
    limiter.Allow(t);  // 10 a second, 1 let through in each
  EXPECT_EQ(limiter.TakeSuppressed(3000), 27u);
}

class LogLinesTest : public ::testing::Test {
 protected:
  LogLinesTest()
      : logger_(
            LogLevel::kInfo, [this](const std::string& line) { lines_.push_back(line); },
            [] { return std::chrono::system_clock::time_point(); }),
        log_(logger_, [this] { return now_ms_; }) {}

  size_t Count(const std::string& part) const {
    size_t n = 0;
    for (const std::string& line : lines_)
      n += line.find(part) != std::string::npos ? 1 : 0;
    return n;
  }

  std::vector<std::string> lines_;
  uint64_t now_ms_ = 10000;
  Logger logger_;
  EventLog log_;
};

TEST_F(LogLinesTest, LinesHaveTimeLevelAndOneLineOfText) {
  Logger logger(LogLevel::kWarn, [this](const std::string& line) { lines_.push_back(line); });
  logger.Log(LogLevel::kInfo, "not at warn");
  logger.Log(LogLevel::kWarn, "first\nforged 2026-01-01 00:00:00.000 error  line \x1b[31mred");
  ASSERT_EQ(lines_.size(), 1u);
  const std::string& line = lines_[0];
  // "YYYY-MM-DDTHH:MM:SS.mmm+HH:MM warn  text"
  ASSERT_GT(line.size(), 36u);
  EXPECT_EQ(line[4], '-');
  EXPECT_EQ(line[10], 'T');
  EXPECT_EQ(line[19], '.');
  EXPECT_TRUE(line[23] == '+' || line[23] == '-') << line;
  EXPECT_EQ(line[26], ':');
  EXPECT_EQ(line.substr(29, 7), " warn  ");
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_EQ(line.find('\x1b'), std::string::npos) << "no escape sequence reaches the log";
  EXPECT_NE(line.find("first forged"), std::string::npos);
}

TEST(IsoTimeTest, CarriesTheOffsetOfTheLocalZone) {
  setenv("TZ", "Asia/Kolkata", 1);  // +05:30, no summer time
  tzset();
  EXPECT_EQ(FormatIsoTime(std::chrono::system_clock::from_time_t(0) + std::chrono::milliseconds(1500)),
            "1970-01-01T05:30:01.500+05:30");
  setenv("TZ", "America/St_Johns", 1);  // -03:30 in January
  tzset();
  EXPECT_EQ(FormatIsoTime(std::chrono::system_clock::from_time_t(0)), "1969-12-31T20:30:00.000-03:30");
  unsetenv("TZ");
  tzset();
}

// Under the journal each line starts with its syslog priority, so `journalctl -p warning` finds warnings;
// the journal is recognised by $JOURNAL_STREAM naming standard output's device and inode.
TEST(JournalTest, LinesCarryTheirPriorityWhenStdoutIsTheJournal) {
  std::vector<std::string> lines;
  Logger logger(
      LogLevel::kDebug, [&lines](const std::string& line) { lines.push_back(line); },
      &std::chrono::system_clock::now, true);
  for (LogLevel level : {LogLevel::kError, LogLevel::kWarn, LogLevel::kInfo, LogLevel::kDebug})
    logger.Log(level, "x");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].substr(0, 4), "<3>2");
  EXPECT_EQ(lines[1].substr(0, 4), "<4>2");
  EXPECT_EQ(lines[2].substr(0, 4), "<6>2");
  EXPECT_EQ(lines[3].substr(0, 4), "<7>2");

  struct stat out;
  ASSERT_EQ(fstat(STDOUT_FILENO, &out), 0);
  std::string stream = std::to_string(out.st_dev) + ":" + std::to_string(out.st_ino);
  setenv("JOURNAL_STREAM", stream.c_str(), 1);
  EXPECT_TRUE(StdoutIsJournal());
  setenv("JOURNAL_STREAM", (stream + "1").c_str(), 1);  // another inode: inherited from a parent
  EXPECT_FALSE(StdoutIsJournal());
  unsetenv("JOURNAL_STREAM");
  EXPECT_FALSE(StdoutIsJournal());
}

TEST_F(LogLinesTest, AFloodOfRejectedDatagramsIsSummarisedNotLogged) {
  ExchangeEvent e;
  e.kind = Kind::VoiceReceived;
  e.server = 0;
  e.channel = 1;
  e.text = "from 198.51.100.9:4000, 144 bytes, rejected: not from the latched source";
  for (int i = 0; i < 10000; ++i) {
    now_ms_ += i % 100 == 0 ? 1 : 0;  // 100 datagrams a millisecond
    log_.OnEvent(e);
  }
  EXPECT_EQ(Count("rejected: not from the latched source"),
            static_cast<size_t>(EventLog::kFloodLinesPerSecond));
  EXPECT_EQ(Count("suppressed"), 0u);  // still inside the first second
  now_ms_ += 1000;
  log_.Flush();
  EXPECT_EQ(Count("... " + std::to_string(10000 - EventLog::kFloodLinesPerSecond) +
                  " more rejected datagram line(s) "
                  "suppressed"),
            1u);
  log_.Flush();
  EXPECT_EQ(Count("suppressed"), 1u);
}

TEST_F(LogLinesTest, FloodsAreLimitedEachOnItsOwn) {
  ExchangeEvent datagram;
  datagram.kind = Kind::VoiceReceived;
  datagram.text = "rejected: wrong length";
  ExchangeEvent query;
  query.kind = Kind::AddressQueryMalformed;
  query.peer = "198.51.100.9:4000";
  query.text = "field 1 is not the token";
  for (int i = 0; i < 50; ++i)
    log_.OnEvent(datagram);
  for (int i = 0; i < 50; ++i)
    log_.OnEvent(query);
  EXPECT_EQ(Count("wrong length"), static_cast<size_t>(EventLog::kFloodLinesPerSecond));
  EXPECT_EQ(Count("malformed address query from 198.51.100.9:4000"),
            static_cast<size_t>(EventLog::kFloodLinesPerSecond));
}

TEST_F(LogLinesTest, CallSummaryLineCarriesEveryFigure) {
  CallSummary s;
  s.client = "192.0.2.7:50312";
  s.dial = "004930123#*#";
  s.far_end = "sip 004930123";
  s.duration_ms = 12345;
  s.datagrams_in = 770;
  s.datagrams_out = 771;
  s.lost = 3;
  s.duplicated = 2;
  s.late = 1;
  s.rejected = 9;
  s.ended = "client hung up";
  ExchangeEvent e;
  e.kind = Kind::CallEnded;
  e.server = 1;
  e.channel = 2;
  e.call = 17;
  e.connection = 3;
  e.summary = &s;
  log_.OnEvent(e);
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_NE(lines_[0].find(
                " info  [1/2 call 17.3] call ended: client 192.0.2.7:50312 dial \"004930123#*#\" far end "
                "sip 004930123, 12.3 s, datagrams in 770 out 771, lost 3 duplicated 2 late 1 rejected 9, "
                "ended: client hung up"),
            std::string::npos)
      << lines_[0];
  EXPECT_EQ(lines_[0].find("far end:"), std::string::npos) << "no far-end figures, no far-end part";

  s.far_end_counters = "extension 3381, rtp in 600";
  log_.OnEvent(e);
  ASSERT_EQ(lines_.size(), 2u);
  EXPECT_NE(lines_[1].find("ended: client hung up; far end: extension 3381, rtp in 600"), std::string::npos)
      << lines_[1];
}

TEST_F(LogLinesTest, GbkFromTheClientIsShownAsUtf8) {
  CallSummary s;
  s.client = "192.0.2.7:50312";
  s.dial = "\xb2\xe2\xca\xd4";  // 测试 in GBK
  s.ended = "refused";
  ExchangeEvent e;
  e.kind = Kind::CallEnded;
  e.summary = &s;
  log_.OnEvent(e);
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_NE(lines_[0].find("dial \"\xe6\xb5\x8b\xe8\xaf\x95\" far end -"), std::string::npos) << lines_[0];
}

TEST_F(LogLinesTest, UnrecognisedBytesThatMayHoldAPasswordAreNotShown) {
  ExchangeEvent e;
  e.kind = Kind::GarbageReceived;
  e.peer = "192.0.2.7:50312";
  std::string raw = "{BuoHao}[(10.0.0.2)0049301#hunter2#";
  e.bytes = raw;
  e.text = "incomplete message: " + raw;
  log_.OnEvent(e);
  std::string other = "\x01\x02junk";
  e.bytes = other;
  e.text = "no message starts here: \\x01\\x02junk";
  log_.OnEvent(e);
  ASSERT_EQ(lines_.size(), 2u);
  EXPECT_EQ(lines_[0].find("hunter2"), std::string::npos) << lines_[0];
  EXPECT_NE(lines_[0].find(std::to_string(raw.size()) + " unrecognised bytes from 192.0.2.7:50312"),
            std::string::npos);
  EXPECT_NE(lines_[1].find("no message starts here"), std::string::npos);
}

TEST_F(LogLinesTest, RoutineEventsWaitForDebug) {
  ExchangeEvent tag;
  tag.kind = Kind::TagSent;
  tag.text = "{ChanelWaitBohao}";
  ExchangeEvent started;
  started.kind = Kind::Started;
  started.text = "address server 127.0.0.1:32765";
  log_.OnEvent(tag);
  log_.OnEvent(started);
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_NE(lines_[0].find("Started: address server"), std::string::npos);

  Logger debug(LogLevel::kDebug, [this](const std::string& line) { lines_.push_back(line); });
  EventLog verbose(debug, [] { return uint64_t{0}; });
  verbose.OnEvent(tag);
  EXPECT_NE(lines_.back().find(" debug TagSent: {ChanelWaitBohao}"), std::string::npos) << lines_.back();
}

// libre's own messages reach the log through the same logger: its level, its format, no colour codes.
TEST(LibreLogTest, LibresMessagesGoThroughTheLogger) {
  std::vector<std::string> lines;
  Logger logger(LogLevel::kInfo, [&lines](const std::string& line) { lines.push_back(line); });
  RouteLibreLog(&logger);
  dbg_printf(DBG_WARNING, "tcp: send: write(): %s\n", "Connection reset by peer");
  dbg_printf(DBG_DEBUG, "below the logger's level\n");
  RouteLibreLog(nullptr);
  ASSERT_EQ(lines.size(), 1u) << ::testing::PrintToString(lines);
  EXPECT_EQ(lines[0].substr(29), " warn  libre: tcp: send: write(): Connection reset by peer");
}

}  // namespace
}  // namespace exchange
