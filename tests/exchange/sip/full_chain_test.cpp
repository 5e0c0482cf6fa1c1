// The whole chain: a fake client on the phone channel's TCP and UDP, the pelvarine-exchange program with a
// [sip] section, and SIPp as the venue's PBX and telephone.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "exchange/protocol/wire_formats.h"
#include "fake_voice_client.h"
#include "sipp_process.h"

namespace exchange {
namespace {

// Runs the clients at their 16 ms pace for at most `ms`, or until `done` holds.
void Drive(std::vector<FakeVoiceClient*> clients, uint64_t ms, const std::function<bool()>& done) {
  uint64_t start = MonotonicMs();
  uint64_t next_tick = start;
  while (MonotonicMs() - start < ms && !done()) {
    uint64_t now = MonotonicMs();
    if (now >= next_tick) {
      for (FakeVoiceClient* client : clients)
        client->Tick(now);
      next_tick += 16;
    }
    std::vector<pollfd> fds;
    for (FakeVoiceClient* client : clients) {
      if (client->tcp_fd() >= 0 && !client->closed_by_exchange())
        fds.push_back({client->tcp_fd(), POLLIN, 0});
      fds.push_back({client->udp_fd(), POLLIN, 0});
    }
    now = MonotonicMs();
    poll(fds.data(), fds.size(), next_tick > now ? static_cast<int>(next_tick - now) : 0);
    now = MonotonicMs();
    for (FakeVoiceClient* client : clients)
      client->Service(now);
  }
}

// Received blocks that equal the pattern byte for byte at the place they claim to come from.
size_t ExactBlocks(const FakeVoiceClient& client) {
  const std::vector<uint8_t>& echoed = client.echoed();
  const std::vector<uint8_t>& pattern = VoicePattern();
  size_t exact = 0;
  for (size_t at = 0; at + kVoiceSamples <= echoed.size(); at += kVoiceSamples) {
    long position = PatternPosition(&echoed[at]);
    if (position >= 0 && static_cast<size_t>(position) + kVoiceSamples <= pattern.size() &&
        std::equal(echoed.begin() + at, echoed.begin() + at + kVoiceSamples, pattern.begin() + position)) {
      ++exact;
    }
  }
  return exact;
}

class FullChainTest : public testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/sip-chain-XXXXXX";
    folder_ = mkdtemp(folder);
  }

  void TearDown() override {
    client_.reset();
    if (daemon_.pid() > 0) daemon_.Terminate(3000);
    sipp_.Kill();
    if (HasFailure() || getenv("SIP_SHOW")) {
      std::cout << "--- exchange ---\n"
                << ReadWholeFile(folder_ + "/exchange.log") << "--- SIPp screen ---\n"
                << ReadWholeFile(folder_ + "/screen.log") << "--- SIPp messages ---\n"
                << ReadWholeFile(folder_ + "/messages.log");
    }
    std::system(("rm -rf " + folder_).c_str());
  }

  void Start(const std::string& scenario, int calls, const std::string& hunt_list) {
    ASSERT_TRUE(sipp_.Start({"-sf",
                             std::string(SIPP_SCENARIOS) + "/" + scenario,
                             "-i",
                             "127.0.0.1",
                             "-p",
                             std::to_string(kSippPort),
                             "-mi",
                             "127.0.0.1",
                             "-mp",
                             std::to_string(kSippPort + 2),
                             "-rtp_echo",
                             "-m",
                             std::to_string(calls),
                             "-nostdin",
                             "-timeout",
                             "30s",
                             "-timeout_error",
                             "-trace_msg",
                             "-message_file",
                             folder_ + "/messages.log"},
                            folder_ + "/screen.log"));
    ASSERT_TRUE(sipp_.WaitListening(kSippPort, false, 5000));
    std::string config = folder_ + "/exchange.conf";
    std::ofstream(config) << "[exchange]\n"
                          << "forwarded_ports = yes\n"
                          << "address_port = " << kAddressPort << "\n"
                          << "base_port = " << kBasePort << "\n"
                          << "metrics = off\n"
                          << "[dial]\n"
                          << "3381 = sip " << hunt_list << "\n"
                          << "[sip]\n"
                          << "server = sip:127.0.0.1:" << kSippPort << "\n"
                          << "user = visitors\n"
                          << "local = 127.0.0.1:" << kSipPort << "\n"
                          << "rtp_ports = 40000-40999\n"
                          << "ring_limit = 5\n"
                          << "max_wait = 5\n";
    ASSERT_TRUE(daemon_.Start({"--config", config}, folder_ + "/exchange.log"));
    ASSERT_TRUE(daemon_.WaitListening(kBasePort, true, 5000)) << "the exchange did not open its channels";
    client_ = std::make_unique<FakeVoiceClient>("127.0.0.1", kBasePort, kBasePort + 1, "3381");
    ASSERT_TRUE(client_->Connect());
  }

  int WaitSippExit(uint64_t ms) {
    Drive({client_.get()}, ms, [this] { return sipp_.Poll().has_value(); });
    return sipp_.Poll().value_or(-1);
  }

  static constexpr int kSippPort = 23000;
  static constexpr int kSipPort = 23010;
  static constexpr int kAddressPort = 23020;
  static constexpr int kBasePort = 23040;
  std::string folder_;
  SippProcess sipp_;
  SippProcess daemon_{PELVARINE_EXCHANGE};
  std::unique_ptr<FakeVoiceClient> client_;
};

TEST_F(FullChainTest, ClientVoiceComesBackBitExactThroughThePbx) {
  Start("answer_echo.xml", 1, "2001");
  // Talk until 2 s of the pattern came back (the deadline only guards a badly loaded machine); every block of
  // it must be unchanged.
  Drive({client_.get()}, 20000, [this] { return client_->echoed().size() >= 125 * kVoiceSamples; });
  EXPECT_TRUE(client_->dialled());
  EXPECT_FALSE(client_->closed_by_exchange());
  EXPECT_GE(ExactBlocks(*client_), 125u) << client_->datagrams_received() << " datagrams received";
  EXPECT_EQ(ExactBlocks(*client_) * kVoiceSamples, client_->echoed().size() / kVoiceSamples * kVoiceSamples);
  client_->HangUp();
  EXPECT_EQ(WaitSippExit(5000), 0) << "SIPp did not see the BYE";
}

TEST_F(FullChainTest, BusyExtensionTellsTheClientTheNextIsDialled) {
  Start("busy_then_answer.xml", 2, "2001,2002");
  Drive({client_.get()}, 1500, [] { return false; });
  EXPECT_NE(client_->tags().find(kTagNextNumber), std::string::npos) << client_->tags();
  EXPECT_GT(client_->datagrams_received(), 20u);
  client_->HangUp();
  EXPECT_EQ(WaitSippExit(5000), 0);
}

TEST_F(FullChainTest, RefusedNumberReachesTheClient) {
  Start("refuse_404.xml", 1, "2001");
  Drive({client_.get()}, 3000, [this] { return client_->tags().find(kTagRefused) != std::string::npos; });
  EXPECT_NE(client_->tags().find(kTagRefused), std::string::npos) << client_->tags();
  EXPECT_EQ(WaitSippExit(5000), 0);
}

TEST_F(FullChainTest, PbxHangUpClosesTheClientsConnection) {
  Start("answer_then_bye.xml", 1, "2001");
  Drive({client_.get()}, 4000, [this] { return client_->closed_by_exchange(); });
  EXPECT_TRUE(client_->closed_by_exchange());
  EXPECT_EQ(WaitSippExit(5000), 0);
}

}  // namespace
}  // namespace exchange
