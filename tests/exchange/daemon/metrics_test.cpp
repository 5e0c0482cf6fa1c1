#include "exchange/daemon/metrics.h"

#include <gtest/gtest.h>

#include <sstream>

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
  m.OnEvent(Event(Kind::ConnectionRefused, "address query from 198.51.100.9:4000 refused: over its rate"));
  m.OnEvent(
      Event(Kind::ConnectionRefused, "address server: connection from 198.51.100.9:4001 refused: too many"));
  m.OnEvent(Event(Kind::ConnectionRefused,
                  "phone connection from 198.51.100.9:4002 refused: too many connections"));
  m.OnEvent(Event(Kind::DialRefused, "dial \"9\" refused: not in the dial plan"));
  for (int i = 0; i < 7; ++i)
    m.OnEvent(Event(Kind::VoiceReceived, "rejected: wrong length"));
  m.OnEvent(Event(Kind::TagSent, "{ChanelWaitBohao}"));  // counted nowhere

  std::string text = m.Render(ExchangeMetrics::Gauges{3, 12});
  const std::string p = "pelvarine_exchange_";
  EXPECT_EQ(Value(text, p + "calls_total{ended=\"client_hung_up\"}"), 2);
  EXPECT_EQ(Value(text, p + "calls_total{ended=\"far_end_hung_up\"}"), 1);
  EXPECT_EQ(Value(text, p + "calls_total{ended=\"refused\"}"), 1);
  EXPECT_EQ(Value(text, p + "calls_total{ended=\"shutdown\"}"), 1);
  EXPECT_EQ(Value(text, p + "calls_total{ended=\"dial_timeout\"}"), 0);  // present before it happens
  EXPECT_EQ(Value(text, p + "active_calls"), 3);
  EXPECT_EQ(Value(text, p + "open_connections"), 12);
  EXPECT_EQ(Value(text, p + "address_queries_total{result=\"ok\"}"), 2);
  EXPECT_EQ(Value(text, p + "address_queries_total{result=\"malformed\"}"), 1);
  EXPECT_EQ(Value(text, p + "address_queries_total{result=\"refused\"}"), 1);
  EXPECT_EQ(Value(text, p + "connections_refused_total"), 2);
  EXPECT_EQ(Value(text, p + "dial_refusals_total"), 1);
  EXPECT_EQ(Value(text, p + "datagrams_in_total"), 210);
  EXPECT_EQ(Value(text, p + "datagrams_out_total"), 251);
  EXPECT_EQ(Value(text, p + "datagrams_lost_total"), 4);
  EXPECT_EQ(Value(text, p + "datagrams_duplicated_total"), 2);
  EXPECT_EQ(Value(text, p + "datagrams_late_total"), 6);
  EXPECT_EQ(Value(text, p + "datagrams_rejected_total"), 7);
}

TEST(MetricsTest, TextIsWellFormedExposition) {
  ExchangeMetrics m;
  std::string text = m.Render({});
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  std::istringstream in(text);
  std::string line;
  std::string family;
  while (std::getline(in, line)) {
    if (line.rfind("# HELP ", 0) == 0) continue;
    if (line.rfind("# TYPE ", 0) == 0) {
      family = line.substr(7, line.find(' ', 7) - 7);
      std::string type = line.substr(line.rfind(' ') + 1);
      EXPECT_TRUE(type == "counter" || type == "gauge") << line;
      EXPECT_EQ(type == "counter", family.size() > 6 && family.substr(family.size() - 6) == "_total") << line;
      continue;
    }
    // Every sample belongs to the family just declared.
    EXPECT_EQ(line.rfind(family, 0), 0u) << line;
    EXPECT_TRUE(line[family.size()] == ' ' || line[family.size()] == '{') << line;
  }
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
