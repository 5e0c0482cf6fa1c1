// Calls through the exchange a venue runs: the pelvarine-exchange program itself on its built-in
// configuration (loopback; the first department reaches a 1000 Hz tone), not the in-process simulator.
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>

#include "client_test.h"

namespace e2e {
namespace {

class ThroughTheExchange : public ClientTest {
 protected:
  void TearDown() override {
    exchange_.Stop();
    std::string log;
    for (const std::string& l : exchange_.Lines())
      log += l + "\n";
    WriteFile(wine().logs_dir() + "/" + test_name() + ".exchange.txt", log);
    if (HasFailure()) std::cerr << "exchange log:\n" << log;
    ClientTest::TearDown();
  }

  void StartExchange() {
    ASSERT_TRUE(exchange_.Start({PELVARINE_E2E_EXCHANGE_PATH}, WithOverrides({})));
    // Its first line comes once every listener is bound.
    ASSERT_TRUE(WaitForExchangeLog("32765", milliseconds(10000)))
        << "pelvarine-exchange did not report its address server (is something else on port 32765?)";
  }

  bool WaitForExchangeLog(const std::string& text, milliseconds limit) {
    return exchange_.WaitFor(
        [&](const std::vector<std::string>& lines) {
          return std::any_of(lines.begin(), lines.end(),
                             [&](const std::string& l) { return l.find(text) != std::string::npos; });
        },
        limit);
  }

  int TalkingFlips(int ms) {
    int online = -1, talking = -1;
    std::string watched = ProbeOk({"watch-lights", std::to_string(ms), "5"});
    EXPECT_EQ(std::sscanf(watched.c_str(), "online_flips=%d talking_flips=%d", &online, &talking), 2) << watched;
    return talking;
  }

  LineReader exchange_;
};

TEST_F(ThroughTheExchange, ToneIsHeardAndTheClientHangsUp) {
  ASSERT_NO_FATAL_FAILURE(StartExchange());
  ASSERT_NO_FATAL_FAILURE(LaunchClient());
  Press();
  ASSERT_TRUE(WaitForLine(line::kContacting)) << Diagnostics();
  EXPECT_GT(TalkingFlips(3000), 20) << "the far end's voice arrives";
  Press();
  ASSERT_TRUE(WaitForLine(line::kOnHook)) << Diagnostics();
  EXPECT_TRUE(WaitForExchangeLog("client hung up", milliseconds(5000))) << "the call's summary line";

  ToneReport tone;
  std::string problem;
  ASSERT_TRUE(wine().AnalysePlayback(&tone, &problem)) << problem;
  EXPECT_NEAR(tone.rough_hz, 1000, 60) << tone.sox_output;
  EXPECT_GT(tone.rms, 0.1) << tone.sox_output;
  EXPECT_GT(tone.loud_samples, 8000 * 2) << "at least two seconds of tone";
}

TEST_F(ThroughTheExchange, StoppingTheExchangeHangsUpTheCall) {
  ASSERT_NO_FATAL_FAILURE(StartExchange());
  ASSERT_NO_FATAL_FAILURE(LaunchClient());
  Press();
  ASSERT_TRUE(WaitForLine(line::kContacting)) << Diagnostics();
  EXPECT_GT(TalkingFlips(1000), 5);
  ASSERT_TRUE(exchange_.Signal(SIGTERM));
  ASSERT_TRUE(WaitForLine(line::kFarEndHungUp)) << Diagnostics();
  ASSERT_TRUE(PollUntil([&] { return exchange_.Exited(); }, milliseconds(5000))) << "SIGTERM ends the exchange";
  EXPECT_TRUE(WIFEXITED(exchange_.exit_status()) && WEXITSTATUS(exchange_.exit_status()) == 0);
  Press();
  EXPECT_TRUE(WaitForLine(line::kOnHook)) << Diagnostics();
}

}  // namespace
}  // namespace e2e
