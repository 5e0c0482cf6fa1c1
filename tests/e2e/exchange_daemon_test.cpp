// Calls through the exchange a venue runs: the pelvarine-exchange program itself on its built-in
// configuration (loopback; the first department reaches a 1000 Hz tone), not the in-process simulator.
#include <signal.h>
#include <sys/wait.h>

#include "exchange_client_test.h"

namespace e2e {
namespace {

class ThroughTheExchange : public ExchangeClientTest {};

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
  // The first SIGTERM drains (the call may go on); a second one ends it at once.
  ASSERT_TRUE(exchange_.Signal(SIGTERM));
  ASSERT_TRUE(WaitForExchangeLog("taking no new calls", milliseconds(5000)));
  ASSERT_TRUE(exchange_.Signal(SIGTERM));
  ASSERT_TRUE(WaitForLine(line::kFarEndHungUp)) << Diagnostics();
  ASSERT_TRUE(PollUntil([&] { return exchange_.Exited(); }, milliseconds(5000)))
      << "SIGTERM ends the exchange";
  EXPECT_TRUE(WIFEXITED(exchange_.exit_status()) && WEXITSTATUS(exchange_.exit_status()) == 0);
  Press();
  EXPECT_TRUE(WaitForLine(line::kOnHook)) << Diagnostics();
}

}  // namespace
}  // namespace e2e
