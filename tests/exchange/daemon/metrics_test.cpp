#include "exchange/daemon/metrics.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "tests/exchange/daemon/temp_folder.h"

namespace exchange {
namespace {

using Kind = ExchangeEvent::Kind;

// The value of the sample `series` (name and labels exactly as written), or -1 when it is missing.
long long Value(const std::string& text, const std::string& series) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(series + " ", 0) == 0) return std::stoll(line.substr(series.size() + 1));
  }
  return -1;
}

ExchangeEvent Event(Kind kind, std::string text = "") {
  ExchangeEvent e;
  e.kind = kind;
  e.text = std::move(text);
  return e;
}

TEST(MetricsTest, CountsTheEventsOfAnExchange) {
  ExchangeMetrics m;
  CallSummary hung_up;
  hung_up.ended = "client hung up";
  hung_up.datagrams_in = 100;
  hung_up.datagrams_out = 120;
  hung_up.lost = 2;
  hung_up.duplicated = 1;
  hung_up.late = 3;
  hung_up.rejected = 7;  // counted as they arrive, not again from the summary
  CallSummary far_end;
  far_end.ended = "far end: BYE from the PBX";
  far_end.datagrams_in = 10;
  far_end.datagrams_out = 11;
  CallSummary refused;
  refused.ended = "refused line not released";
  CallSummary shutdown;
  shutdown.ended = "exchange shutting down";
  for (const CallSummary* s : {&hung_up, &far_end, &refused, &shutdown, &hung_up}) {
    ExchangeEvent e = Event(Kind::CallEnded);
    e.summary = s;
    m.OnEvent(e);
  }
  m.OnEvent(Event(Kind::AddressQueryOk));
  m.OnEvent(Event(Kind::AddressQueryOk));
  m.OnEvent(Event(Kind::AddressQueryMalformed, "field 1 is not the token"));
  for (const char* reason : {"query_rate", "connections", "connections"}) {
    ExchangeEvent e = Event(Kind::ConnectionRefused);
    e.reason = reason;
    m.OnEvent(e);
  }
  for (const char* reason : {"max_calls", "draining", "channel_busy", "no_free_channel", "channel_busy"}) {
    ExchangeEvent e = Event(Kind::ChannelAccepted);
    e.busy = true;
    e.reason = reason;
    m.OnEvent(e);
  }
  m.OnEvent(Event(Kind::ChannelAccepted));  // answered: not turned away
  m.OnEvent(Event(Kind::DialRefused, "dial \"9\" refused: not in the dial plan"));
  for (int i = 0; i < 7; ++i)
    m.OnEvent(Event(Kind::VoiceReceived, "rejected: wrong length"));
  m.OnEvent(Event(Kind::TagSent, "{ChanelWaitBohao}"));  // counted nowhere

  ExchangeMetrics::Gauges gauges;
  gauges.active_calls = 3;
  gauges.open_connections = 12;
  gauges.live.datagrams_in = 1000;  // calls in progress count before they end
  gauges.live.lost = 10;
  std::string text = m.Render(gauges);
  const std::string p = "pelvarine_exchange_";
  EXPECT_EQ(Value(text, p + "calls_total{reason=\"client_hung_up\"}"), 2);
  EXPECT_EQ(Value(text, p + "calls_total{reason=\"far_end_hung_up\"}"), 1);
  EXPECT_EQ(Value(text, p + "calls_total{reason=\"refused\"}"), 1);
  EXPECT_EQ(Value(text, p + "calls_total{reason=\"shutdown\"}"), 1);
  EXPECT_EQ(Value(text, p + "calls_total{reason=\"dial_timeout\"}"), 0);  // present before it happens
  EXPECT_EQ(Value(text, p + "visitors_turned_away_total{reason=\"channel_busy\"}"), 2);
  EXPECT_EQ(Value(text, p + "visitors_turned_away_total{reason=\"no_free_channel\"}"), 1);
  EXPECT_EQ(Value(text, p + "visitors_turned_away_total{reason=\"max_calls\"}"), 1);
  EXPECT_EQ(Value(text, p + "visitors_turned_away_total{reason=\"draining\"}"), 1);
  EXPECT_EQ(Value(text, p + "visitors_turned_away_total{reason=\"connections\"}"), 2);
  EXPECT_EQ(Value(text, p + "visitors_turned_away_total{reason=\"query_rate\"}"), 1);
  // Five calls of 0 s: all in the first bucket.
  EXPECT_EQ(Value(text, p + "call_duration_seconds_bucket{le=\"1\"}"), 5);
  EXPECT_EQ(Value(text, p + "call_duration_seconds_count"), 5);
  EXPECT_EQ(Value(text, p + "active_calls"), 3);
  EXPECT_EQ(Value(text, p + "open_connections"), 12);
  EXPECT_EQ(Value(text, p + "address_queries_total{result=\"ok\"}"), 2);
  EXPECT_EQ(Value(text, p + "address_queries_total{result=\"malformed\"}"), 1);
  EXPECT_EQ(Value(text, p + "address_queries_total{result=\"refused\"}"), 1);
  EXPECT_EQ(Value(text, p + "dial_refusals_total"), 1);
  EXPECT_EQ(Value(text, p + "datagrams_in_total"), 1210);
  EXPECT_EQ(Value(text, p + "datagrams_out_total"), 251);
  EXPECT_EQ(Value(text, p + "datagrams_lost_total"), 14);
  EXPECT_EQ(Value(text, p + "datagrams_duplicated_total"), 2);
  EXPECT_EQ(Value(text, p + "datagrams_late_total"), 6);
  EXPECT_EQ(Value(text, p + "datagrams_rejected_total"), 7);
}

// Prometheus' own checker (Debian's prometheus package) finds nothing to say, with every family present.
TEST(MetricsTest, PromtoolFindsTheTextClean) {
  if (std::system("command -v promtool >/dev/null") != 0) GTEST_SKIP() << "promtool not installed";
  ExchangeMetrics m;
  ExchangeEvent e = Event(Kind::CallEnded);
  CallSummary s;
  s.duration_ms = 42500;
  e.summary = &s;
  m.OnEvent(e);
  SipTrunkHealth sip;
  sip.OnRegistrationResult(0, 200, "OK", "sip:pbx");
  ExchangeMetrics::Gauges g;
  g.sip = &sip;
  ReadProcessFigures(&g.process);
  std::string text = m.Render(g);
  EXPECT_NE(text.find("pelvarine_exchange_sip_registration_state{state=\"registered\"} 1"),
            std::string::npos);
  EXPECT_GT(Value(text, "process_resident_memory_bytes"), 0);
  EXPECT_GT(Value(text, "process_open_fds"), 2);
  testing::TempFolder folder;
  std::string said_file = folder.Write("promtool.out", "");
  FILE* check = popen(("promtool check metrics > " + said_file + " 2>&1").c_str(), "w");
  ASSERT_NE(check, nullptr);
  std::fwrite(text.data(), 1, text.size(), check);
  EXPECT_EQ(pclose(check), 0);
  std::ifstream out(said_file);
  std::string said((std::istreambuf_iterator<char>(out)), std::istreambuf_iterator<char>());
  EXPECT_EQ(said, "") << text;
}

TEST(MetricsTest, HowACallEndedMapsToFewLabels) {
  EXPECT_STREQ(ExchangeMetrics::EndedLabel("client hung up"), "client_hung_up");
  EXPECT_STREQ(ExchangeMetrics::EndedLabel("far end: 486 Busy Here"), "far_end_hung_up");
  EXPECT_STREQ(ExchangeMetrics::EndedLabel("refused"), "refused");
  EXPECT_STREQ(ExchangeMetrics::EndedLabel("nothing dialled in time"), "dial_timeout");
  EXPECT_STREQ(ExchangeMetrics::EndedLabel("call time limit reached"), "time_limit");
  EXPECT_STREQ(ExchangeMetrics::EndedLabel("too many unrecognised bytes"), "garbage");
  EXPECT_STREQ(ExchangeMetrics::EndedLabel("connection failed"), "send_failed");
  EXPECT_STREQ(ExchangeMetrics::EndedLabel("exchange stopped"), "shutdown");
  EXPECT_STREQ(ExchangeMetrics::EndedLabel("\"}\nevil 1"), "other");
}

}  // namespace
}  // namespace exchange
