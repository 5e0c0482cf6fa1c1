// Visitors' calls reaching a telephone behind a SIP PBX: the client under Wine, pelvarine-exchange with the
// sip far end, and SIPp as the venue's telephone (a SIP peer written by nobody here).
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "exchange_client_test.h"

namespace e2e {
namespace {

constexpr int kSippPort = 5090;
constexpr int kToneHz = 700;

const std::string kScenarios = std::string(PELVARINE_SOURCE_DIR) + "/tests/exchange/sip/scenarios/";

class SipBridge : public ExchangeClientTest {
 protected:
  void TearDown() override {
    if (sipp_.started() && sipp_.Running()) sipp_.Kill();
    if (HasFailure()) {
      std::cerr << "SIPp messages:\n"
                << ReadFile(Path(".sipp-messages.txt")) << "SIPp output:\n"
                << ReadFile(Path(".sipp.txt"));
    }
    ExchangeClientTest::TearDown();
  }

  std::string Path(const std::string& suffix) const { return LogPath(suffix); }

  // The exchange on its loopback defaults, with the three departments routed to SIPp's telephone:
  // 订房电话 to a hunt list whose first extension (2001) is busy in the hunting scenario.
  void StartBridge() {
    std::string config =
        "[exchange]\n"
        "metrics = off\n"
        "[dial]\n"
        "3381 = sip 2001,2002\n"
        "3368 = sip 3368\n"
        "3191 = sip 3191\n"
        "[sip]\n"
        "server = sip:127.0.0.1:" +
        std::to_string(kSippPort) +
        "\n"
        "user = visitors\n"
        "local = 127.0.0.1:5070\n"
        "rtp_ports = 31000-31099\n"
        "ring_limit = 8\n"
        "max_wait = 4\n";
    ASSERT_TRUE(WriteFile(Path(".conf"), config));
    StartExchange({"--config", Path(".conf")});
  }

  // SIPp answers as the venue's telephone with `scenario`, for `calls` INVITEs.
  void StartTelephone(const std::string& scenario, int calls = 1, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {"/usr/bin/sipp",
                                     "-sf",
                                     scenario,
                                     "-i",
                                     "127.0.0.1",
                                     "-p",
                                     std::to_string(kSippPort),
                                     "-mi",
                                     "127.0.0.1",
                                     "-m",
                                     std::to_string(calls),
                                     "-t",
                                     "u1",
                                     "-nostdin",
                                     "-timeout",
                                     "60s",
                                     "-trace_msg",
                                     "-message_file",
                                     Path(".sipp-messages.txt")};
    argv.insert(argv.end(), extra.begin(), extra.end());
    unlink(Path(".sipp-messages.txt").c_str());
    sipp_ = Child::Start(argv, WithOverrides({}), Path(".sipp.txt"));
    ASSERT_TRUE(sipp_.started());
    ASSERT_TRUE(PollUntil([] { return ReadFile("/proc/net/udp").find(":13E2 ") != std::string::npos; },
                          milliseconds(5000)))
        << "SIPp does not listen on UDP " << kSippPort;
  }

  // A raw A-law tone for SIPp to stream, and its answering scenario pointing at it.
  std::string ToneScenario() {
    std::string tone = Path(".tone.al");
    CommandResult made =
        RunCommand({"/usr/bin/sox", "-n", "-r", "8000", "-c", "1", "-e", "a-law", "-t", "raw", tone, "synth",
                    "2", "sine", std::to_string(kToneHz), "vol", "0.5"},
                   WithOverrides({}), milliseconds(10000));
    EXPECT_TRUE(made.ok()) << made.err;
    std::string xml = ReadFile(std::string(PELVARINE_SOURCE_DIR) + "/tests/e2e/sip/answer_tone.xml");
    xml.replace(xml.find("@TONE_FILE@"), 11, tone);
    WriteFile(Path(".answer_tone.xml"), xml);
    return Path(".answer_tone.xml");
  }

  // SIPp ends by itself once its scenario is played out; 0 means every step happened as scripted.
  int TelephoneExit(milliseconds limit = milliseconds(15000)) {
    if (!sipp_.WaitExit(limit)) return -1;
    int status = sipp_.exit_status();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  std::string SippMessages() { return ReadFile(Path(".sipp-messages.txt")); }

  Child sipp_;
};

TEST_F(SipBridge, AnsweredTelephonesToneIsPlayedAndTheClientsHangUpSendsBye) {
  ASSERT_NO_FATAL_FAILURE(StartTelephone(ToneScenario()));
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  ASSERT_NO_FATAL_FAILURE(LaunchClient());
  ProbeOk({"select", "1"});  // 订餐电话: 3368
  Press();
  ASSERT_TRUE(WaitForLine(line::kContacting)) << Diagnostics();
  EXPECT_GT(TalkingFlips(3000), 20) << "the telephone's RTP reaches the client";
  Press();
  ASSERT_TRUE(WaitForLine(line::kOnHook)) << Diagnostics();
  EXPECT_EQ(TelephoneExit(), 0) << "SIPp received the BYE\n" << SippMessages();
  EXPECT_NE(SippMessages().find("INVITE sip:3368@"), std::string::npos);

  ToneReport tone;
  std::string problem;
  ASSERT_TRUE(wine().AnalysePlayback(&tone, &problem)) << problem;
  EXPECT_NEAR(tone.rough_hz, kToneHz, kToneHz * 0.06) << tone.sox_output;
  EXPECT_GT(tone.loud_samples, 8000 * 2) << "at least two seconds of the telephone's tone";
}

TEST_F(SipBridge, BusyFirstExtensionMakesTheClientShowTheNextNumberThenTheCallGoesOn) {
  ASSERT_NO_FATAL_FAILURE(StartTelephone(kScenarios + "busy_then_answer.xml", 2, {"-rtp_echo"}));
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  ASSERT_NO_FATAL_FAILURE(LaunchClient());
  Press();  // 订房电话: 3381, the hunt list 2001, 2002
  ASSERT_TRUE(WaitForLine(line::kEngagedNext)) << Diagnostics();
  ASSERT_TRUE(PollUntil([&] { return SippMessages().find("INVITE sip:2002@") != std::string::npos; },
                        milliseconds(10000)))
      << "the next extension is called\n"
      << SippMessages();
  Press();
  ASSERT_TRUE(WaitForLine(line::kOnHook)) << Diagnostics();
  EXPECT_EQ(TelephoneExit(), 0) << SippMessages();
  EXPECT_FALSE(TranscriptHas(line::kFarEndHungUp));
}

TEST_F(SipBridge, UnknownNumberShowsTheRefusalLines) {
  ASSERT_NO_FATAL_FAILURE(StartTelephone(kScenarios + "refuse_404.xml"));
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  ASSERT_NO_FATAL_FAILURE(LaunchClient());
  ProbeOk({"select", "2"});
  Press();
  ASSERT_TRUE(WaitForLine(line::kNoRight)) << Diagnostics();
  ASSERT_TRUE(WaitForLine(line::kCheckPassword)) << Diagnostics();
  EXPECT_EQ(TelephoneExit(), 0) << SippMessages();
  Press();
  EXPECT_TRUE(WaitForLine(line::kOnHook)) << Diagnostics();
}

TEST_F(SipBridge, TelephoneHangingUpAsksTheVisitorToPressTheButton) {
  ASSERT_NO_FATAL_FAILURE(StartTelephone(kScenarios + "answer_then_bye.xml"));
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  ASSERT_NO_FATAL_FAILURE(LaunchClient());
  Press();
  ASSERT_TRUE(WaitForLine(line::kFarEndHungUp, milliseconds(20000))) << Diagnostics();
  EXPECT_EQ(TelephoneExit(), 0) << SippMessages();
  Press();
  EXPECT_TRUE(WaitForLine(line::kOnHook)) << Diagnostics();
}

TEST_F(SipBridge, HangingUpWhileItRingsCancelsTheInvite) {
  ASSERT_NO_FATAL_FAILURE(StartTelephone(kScenarios + "ring_then_cancel.xml"));
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  ASSERT_NO_FATAL_FAILURE(LaunchClient());
  Press();
  ASSERT_TRUE(
      PollUntil([&] { return SippMessages().find("180 Ringing") != std::string::npos; }, milliseconds(15000)))
      << SippMessages();
  Press();
  ASSERT_TRUE(WaitForLine(line::kOnHook)) << Diagnostics();
  EXPECT_EQ(TelephoneExit(), 0) << "SIPp received the CANCEL\n" << SippMessages();
}

TEST_F(SipBridge, ServerThatNeverAnswersEndsTheCallCleanly) {
  ASSERT_NO_FATAL_FAILURE(StartTelephone(kScenarios + "silent.xml"));
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  ASSERT_NO_FATAL_FAILURE(LaunchClient());
  Press();
  // max_wait is 4 s: then the exchange gives up and closes the visitor's connection.
  ASSERT_TRUE(WaitForLine(line::kFarEndHungUp, milliseconds(15000))) << Diagnostics();
  Press();
  EXPECT_TRUE(WaitForLine(line::kOnHook)) << Diagnostics();
  EXPECT_FALSE(exchange_.Exited()) << "the exchange keeps serving";
}

}  // namespace
}  // namespace e2e
