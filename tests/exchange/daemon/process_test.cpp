// pelvarine-exchange as a process: a call placed by a fake client, its summary line, the counters over
// HTTP, and SIGTERM closing the call's connection. Binds fixed ports: runs in a private network namespace.
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <sstream>
#include <vector>

#include "exchange/protocol/wire_formats.h"
#include "tests/exchange/daemon/daemon_process.h"
#include "tests/exchange/daemon/http_get.h"
#include "tests/exchange/daemon/temp_folder.h"
#include "tests/exchange/loopback_sockets.h"

namespace exchange {
namespace {

using std::chrono::milliseconds;
using testing::DaemonProcess;
using testing::HttpGet;
using testing::TcpClient;
using testing::TempFolder;
using testing::UdpClient;

constexpr int kAddressPort = 42765;
constexpr int kBasePort = 42480;
constexpr int kMetricsPort = 42464;
constexpr milliseconds kWait(5000);
constexpr int kWaitMs = static_cast<int>(kWait.count());  // for the loopback clients

long long Metric(const std::string& text, const std::string& series) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("pelvarine_exchange_" + series + " ", 0) == 0)
      return std::stoll(line.substr(line.rfind(' ') + 1));
  }
  return -1;
}

// Opens a phone channel and waits for the invitation to dial.
void OpenChannel(TcpClient& phone) {
  ASSERT_TRUE(phone.Connect(kBasePort));
  ASSERT_TRUE(phone.ReadUntil(kTagWaitDial, kWaitMs));
  ASSERT_TRUE(phone.Send(BuildLocalAddressMessage("127.0.0.1")));
}

class DaemonProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string config = folder_.Write("exchange.conf",
                                       "[exchange]\n"
                                       "forwarded_ports = yes\n"
                                       "address_port = " +
                                           std::to_string(kAddressPort) +
                                           "\n"
                                           "base_port = " +
                                           std::to_string(kBasePort) +
                                           "\n"
                                           "metrics = 127.0.0.1:" +
                                           std::to_string(kMetricsPort) +
                                           "\n"
                                           "[limits]\n"
                                           "queries_per_source_per_minute = 2\n"
                                           "[dial]\n"
                                           "3368 = echo 0\n"
                                           "3191 = tone 440\n",
                                       0644);
    daemon_ =
        std::make_unique<DaemonProcess>(PELVARINE_EXCHANGE, std::vector<std::string>{"--config", config});
    ASSERT_NE(daemon_->WaitForLine("metrics on http://127.0.0.1:42464/metrics", kWait), "")
        << ::testing::PrintToString(daemon_->Lines());
  }

  TempFolder folder_;
  std::unique_ptr<DaemonProcess> daemon_;
};

TEST_F(DaemonProcessTest, CallsAreSummarisedCountedAndEndedBySigint) {
  // The address server names the phone server.
  {
    TcpClient query;
    ASSERT_TRUE(query.Connect(kAddressPort));
    ASSERT_TRUE(query.Send(BuildAddressQuery()));
    std::string reply = query.ReceiveBytes(kAddressRecordSize, kWaitMs);
    ASSERT_EQ(reply.size(), kAddressRecordSize);
    EXPECT_EQ(AddressFieldText(reply, kReplyIpField), "127.0.0.1");
  }

  // An echo call: every block comes back, in order, with the client's address text.
  UdpClient voice;
  ASSERT_TRUE(voice.Bind());
  {
    TcpClient phone;
    OpenChannel(phone);
    ASSERT_TRUE(phone.Send(BuildDialMessage("127.0.0.1", "3368")));
    std::vector<std::string> sent;
    for (int i = 1; i <= 20; ++i) {
      sent.push_back(std::string(kVoiceSamples, static_cast<char>(0x20 + i)));
      ASSERT_TRUE(voice.SendTo(kBasePort + 1, BuildClientVoice(i, sent.back())));
      std::this_thread::sleep_for(milliseconds(16));
    }
    ASSERT_TRUE(voice.SendTo(kBasePort + 1, "too short"));
    size_t echoed = 0;
    while (echoed < sent.size()) {
      std::string datagram = voice.Receive(kWaitMs).value_or("");
      ASSERT_FALSE(datagram.empty()) << echoed << " of " << sent.size() << " blocks came back";
      auto parsed = ParseServerVoice(datagram);
      ASSERT_TRUE(parsed);
      EXPECT_EQ(parsed->address_text, "127.0.0.1");
      ASSERT_EQ(parsed->audio, sent[echoed]);
      ++echoed;
    }
    std::string port = std::to_string(phone.local_port());
    phone.Close();
    std::string summary = daemon_->WaitForLine("call ended: client 127.0.0.1:" + port, kWait);
    ASSERT_NE(summary, "") << ::testing::PrintToString(daemon_->Lines());
    EXPECT_NE(summary.find(" info  [0/0 call 1.1] call ended"), std::string::npos) << summary;
    EXPECT_NE(summary.find("dial \"3368\" far end echo 0, "), std::string::npos) << summary;
    EXPECT_NE(
        summary.find("datagrams in 20 out 20, lost 0 duplicated 0 late 0 rejected 1, ended: client hung up"),
        std::string::npos)
        << summary;
  }
  EXPECT_NE(daemon_->WaitForLine("datagram from 127.0.0.1", kWait).find("rejected: wrong length"),
            std::string::npos);

  // A dial string nobody configured is refused, and said so.
  {
    TcpClient phone;
    OpenChannel(phone);
    ASSERT_TRUE(phone.Send(BuildDialMessage("127.0.0.1", "0900123")));
    EXPECT_TRUE(phone.ReadUntil(kTagRefused, kWaitMs));
    EXPECT_NE(daemon_->WaitForLine("dial \"0900123\" refused: not in the dial plan", kWait), "");
  }
  ASSERT_NE(daemon_->WaitForLine("ended: refused", kWait), "");

  int status = 0;
  std::string metrics = HttpGet(kMetricsPort, "/metrics", &status);
  EXPECT_EQ(status, 200);
  EXPECT_EQ(Metric(metrics, "calls_total{reason=\"client_hung_up\"}"), 1) << metrics;
  EXPECT_EQ(Metric(metrics, "calls_total{reason=\"refused\"}"), 1);
  EXPECT_EQ(Metric(metrics, "address_queries_total{result=\"ok\"}"), 1);
  EXPECT_EQ(Metric(metrics, "dial_refusals_total"), 1);
  EXPECT_EQ(Metric(metrics, "datagrams_in_total"), 20);
  EXPECT_EQ(Metric(metrics, "datagrams_out_total"), 20);
  EXPECT_EQ(Metric(metrics, "datagrams_rejected_total"), 1);
  EXPECT_EQ(Metric(metrics, "active_calls"), 0);
  // Address queries over the source's rate are refused and counted apart from malformed ones.
  for (bool answered : {true, false}) {
    TcpClient query;
    ASSERT_TRUE(query.Connect(kAddressPort));
    ASSERT_TRUE(query.Send(BuildAddressQuery()));
    EXPECT_EQ(query.ReceiveBytes(kAddressRecordSize, kWaitMs).size(), answered ? kAddressRecordSize : 0u);
  }
  metrics = HttpGet(kMetricsPort, "/metrics", &status);
  EXPECT_EQ(Metric(metrics, "address_queries_total{result=\"ok\"}"), 2);
  EXPECT_EQ(Metric(metrics, "address_queries_total{result=\"refused\"}"), 1);
  EXPECT_EQ(Metric(metrics, "address_queries_total{result=\"malformed\"}"), 0);
  HttpGet(kMetricsPort, "/", &status);
  EXPECT_EQ(status, 404);
  HttpGet(kMetricsPort, "/metrics/../etc/passwd", &status);
  EXPECT_EQ(status, 404);

  // A call in progress when SIGINT arrives: its connection is closed and the daemon exits with 0.
  TcpClient phone;
  OpenChannel(phone);
  ASSERT_TRUE(phone.Send(BuildDialMessage("127.0.0.1", "3191")));
  ASSERT_TRUE(voice.SendTo(kBasePort + 1, BuildClientVoice(1, std::string(kVoiceSamples, '\x55'))));
  EXPECT_FALSE(voice.Receive(kWaitMs).value_or("").empty());  // the tone, once latched to this socket
  metrics = HttpGet(kMetricsPort, "/metrics", &status);
  EXPECT_EQ(Metric(metrics, "active_calls"), 1);
  EXPECT_GE(Metric(metrics, "open_connections"), 1);

  daemon_->Signal(SIGINT);
  EXPECT_TRUE(phone.WaitClosed(kWaitMs));
  EXPECT_EQ(daemon_->WaitForExit(kWait), 0);
  EXPECT_NE(daemon_->WaitForLine("SIGINT received: ending every call", kWait), "");
  EXPECT_NE(
      daemon_->WaitForLine("dial \"3191\" far end tone 440", kWait).find("ended: exchange shutting down"),
      std::string::npos);
  EXPECT_NE(daemon_->WaitForLine("info  stopped", kWait), "");
}

TEST_F(DaemonProcessTest, MetricsConnectionsAreCappedAndEachClosedAfterItsReply) {
  TcpClient scraper;
  ASSERT_TRUE(scraper.Connect(kMetricsPort));
  ASSERT_TRUE(scraper.Send("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"));
  std::string reply;
  EXPECT_TRUE(scraper.WaitClosed(kWaitMs, &reply)) << "kept open after the reply";
  EXPECT_EQ(reply.substr(0, 12), "HTTP/1.1 200") << reply;
  // Idle connections beyond the cap are turned away at once, not held.
  std::vector<std::unique_ptr<TcpClient>> idle;
  for (int i = 0; i < 40; ++i) {
    idle.push_back(std::make_unique<TcpClient>());
    ASSERT_TRUE(idle.back()->Connect(kMetricsPort));
  }
  int turned_away = 0;
  for (auto& c : idle)
    turned_away += c->WaitClosed(100) ? 1 : 0;
  EXPECT_GE(turned_away, 40 - 16);
}

TEST_F(DaemonProcessTest, OversizedMetricsRequestIsRefused) {
  TcpClient c;
  ASSERT_TRUE(c.Connect(kMetricsPort));
  ASSERT_TRUE(
      c.Send("GET /metrics HTTP/1.1\r\nHost: x\r\nX-Padding: " + std::string(16384, 'a') + "\r\n\r\n"));
  std::string reply;
  EXPECT_TRUE(c.WaitClosed(kWaitMs, &reply));
  EXPECT_EQ(reply.substr(0, 12), "HTTP/1.1 413") << reply;
  // The exchange keeps serving.
  int status = 0;
  HttpGet(kMetricsPort, "/metrics", &status);
  EXPECT_EQ(status, 200);
  daemon_->Signal(SIGINT);
  EXPECT_EQ(daemon_->WaitForExit(kWait), 0);
}

}  // namespace
}  // namespace exchange
