// Real calls from the SIP far end, through libre, to SIPp playing the venue's PBX and telephone.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <re.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "alaw_pattern.h"
#include "exchange/farend/sip/sip_far_end.h"
#include "exchange/farend/sip/sip_far_end_factory.h"
#include "sipp_process.h"
#include "tests/exchange/libre_loop.h"

namespace exchange {
namespace {

::testing::Environment* const libre_environment =
    ::testing::AddGlobalTestEnvironment(new exchange::testing::LibreEnvironment);
using exchange::testing::RunLoopFor;
using exchange::testing::RunLoopUntil;

class RecordingListener : public FarEndListener {
 public:
  void OnFarEndAnswered() override {
    events.push_back("answered");
    answered_at = tmr_jiffies();
  }
  void OnFarEndTryingNext() override { events.push_back("trying next"); }
  void OnFarEndRefused(std::string_view why) override {
    events.push_back("refused");
    reason = why;
    over = true;
  }
  void OnFarEndEnded(std::string_view why) override {
    events.push_back("ended");
    reason = why;
    over = true;
    ended_at = tmr_jiffies();
  }
  std::vector<std::string> events;
  std::string reason;
  bool over = false;
  uint64_t answered_at = 0;
  uint64_t ended_at = 0;
};

// The runs of `received` that appear, byte for byte, somewhere in `sent`, longest first. The buffers may
// splice the stream (a few samples dropped to keep the delay down); between splices nothing may change.
std::vector<size_t> ExactRuns(const std::vector<uint8_t>& sent, const std::vector<uint8_t>& received) {
  constexpr size_t kKey = 8;
  auto key_at = [](const std::vector<uint8_t>& bytes, size_t at) {
    uint64_t key = 0;
    for (size_t i = 0; i < kKey; ++i)
      key = key << 8 | bytes[at + i];
    return key;
  };
  std::unordered_map<uint64_t, size_t> where;
  for (size_t i = 0; i + kKey <= sent.size(); ++i)
    where.emplace(key_at(sent, i), i);
  std::vector<size_t> runs;
  size_t r = 0;
  while (r + kKey <= received.size()) {
    auto found = where.find(key_at(received, r));
    if (found == where.end()) {
      ++r;
      continue;
    }
    size_t s = found->second;
    size_t run = 0;
    while (r + run < received.size() && s + run < sent.size() && received[r + run] == sent[s + run])
      ++run;
    runs.push_back(run);
    r += std::max<size_t>(run, 1);
  }
  std::sort(runs.rbegin(), runs.rend());
  return runs;
}

// How many received bytes lie in exact runs of at least one client block.
size_t BytesInExactRuns(const std::vector<size_t>& runs) {
  size_t total = 0;
  for (size_t run : runs)
    total += run >= kBlockSamples ? run : 0;
  return total;
}

class SippTest : public ::testing::Test {
 protected:
  // Each test gets its own ports (they also run in a private network namespace).
  void SetUp() override {
    static uint16_t next_base = 21000;
    base_ = next_base;
    next_base = static_cast<uint16_t>(next_base + 20);
    char folder[] = "/tmp/sip-sipp-XXXXXX";
    folder_ = mkdtemp(folder);
  }

  void TearDown() override {
    far_end_.reset();
    if (factory_) RunLoopFor(100);  // let a last CANCEL or BYE leave
    sipp_.Kill();
    factory_.reset();
    if (HasFailure() || getenv("SIP_SHOW")) {
      std::cout << "--- SIPp screen ---\n"
                << ReadWholeFile(folder_ + "/screen.log") << "--- SIPp messages ---\n"
                << ReadWholeFile(folder_ + "/messages.log") << "--- SIPp errors ---\n"
                << ReadWholeFile(folder_ + "/errors.log");
    }
    std::system(("rm -rf " + folder_).c_str());
  }

  uint16_t sipp_port() const { return base_; }
  uint16_t media_port() const { return static_cast<uint16_t>(base_ + 2); }
  uint16_t local_port() const { return static_cast<uint16_t>(base_ + 10); }

  void StartSipp(const std::string& scenario, int calls, bool tcp = false) {
    std::vector<std::string> arguments = {
        "-sf",
        std::string(SIPP_SCENARIOS) + "/" + scenario,
        "-i",
        "127.0.0.1",
        "-p",
        std::to_string(sipp_port()),
        "-mi",
        "127.0.0.1",
        "-mp",
        std::to_string(media_port()),
        "-rtp_echo",
        "-m",
        std::to_string(calls),
        "-t",
        tcp ? "t1" : "u1",
        "-nostdin",
        "-timeout",
        "60s",
        "-timeout_error",
        "-trace_msg",
        "-message_file",
        folder_ + "/messages.log",
        "-trace_err",
        "-error_file",
        folder_ + "/errors.log",
    };
    ASSERT_TRUE(sipp_.Start(arguments, folder_ + "/screen.log"));
    ASSERT_TRUE(sipp_.WaitListening(sipp_port(), tcp, 5000)) << "SIPp did not open its port";
  }

  void OpenFactory(std::vector<std::pair<std::string, std::string>> extra = {}, bool tcp = false) {
    std::vector<std::pair<std::string, std::string>> entries = {
        {"server", "sip:127.0.0.1:" + std::to_string(sipp_port()) + (tcp ? ";transport=tcp" : "")},
        {"user", "visitors"},
        {"local", "127.0.0.1:" + std::to_string(local_port())},
        {"rtp_ports", "40000-40999"},
        {"ring_limit", "5"},
        {"max_wait", "5"},
    };
    for (const auto& [key, value] : extra) {
      bool replaced = false;
      for (auto& entry : entries) {
        if (entry.first == key) {
          entry.second = value;
          replaced = true;
        }
      }
      if (!replaced) entries.emplace_back(key, value);
    }
    std::string error;
    ASSERT_TRUE(ParseSipSettings(entries, &settings_, &error)) << error;
    factory_ =
        SipFarEndFactory::Open(settings_, &error, [this](const std::string& line) { log_.push_back(line); });
    ASSERT_TRUE(factory_) << error;
  }

  void Dial(const std::string& target) {
    ASSERT_EQ(factory_->CheckTarget(target), "");
    FarEndRequest request{"8001", target, "127.0.0.1:40001", "test-call"};
    far_end_ = factory_->Create(request, listener_);
    far_end_->Start();
  }

  SipFarEnd& sip_far_end() { return static_cast<SipFarEnd&>(*far_end_); }

  // Runs the loop until SIPp has finished its calls; its exit status, or -1 when it did not finish in time.
  int WaitSippExit(uint64_t timeout_ms) {
    RunLoopUntil([this] { return sipp_.Poll().has_value(); }, timeout_ms);
    return sipp_.Poll().value_or(-1);
  }

  // Feeds the client's pattern at the client's pace and collects what comes back, for `ms` or until `done`.
  void TalkFor(
      uint64_t ms, const std::function<bool()>& done = [] { return false; }) {
    struct Pacer {
      SippTest* test;
      struct tmr timer;
      uint64_t start;
      static void Tick(void* arg) {
        auto* self = static_cast<Pacer*>(arg);
        self->test->TalkTick();
        uint64_t ticks = self->test->client_sequence_;
        uint64_t due = self->start + ticks * 16;
        uint64_t now = tmr_jiffies();
        tmr_start(&self->timer, due > now ? due - now : 0, &Pacer::Tick, self);
      }
    } pacer{this, {}, tmr_jiffies()};
    tmr_init(&pacer.timer);
    tmr_start(&pacer.timer, 0, &Pacer::Tick, &pacer);
    RunLoopUntil(done, ms);
    tmr_cancel(&pacer.timer);
  }

  void TalkTick() {
    size_t at = static_cast<size_t>(client_sequence_) * kBlockSamples;
    if (at + kBlockSamples <= sent_.size()) {
      far_end_->OnClientVoice(client_sequence_ + 1, sent_.data() + at);
    }
    ++client_sequence_;
    uint8_t block[kBlockSamples];
    if (far_end_->ReadBlock(block)) received_.insert(received_.end(), block, block + kBlockSamples);
  }

  uint16_t base_ = 0;
  std::string folder_;
  SippProcess sipp_;
  SipSettings settings_;  // as the factory was opened with
  std::unique_ptr<SipFarEndFactory> factory_;
  std::unique_ptr<FarEnd> far_end_;
  RecordingListener listener_;
  std::vector<std::string> log_;
  std::vector<uint8_t> sent_ = AlawPattern(8000 * 25, 0x9E3779B97F4A7C15ull);
  std::vector<uint8_t> received_;
  int64_t client_sequence_ = 0;
};

TEST_F(SippTest, AnsweredCallEchoesTheClientsVoiceBitExact) {
  StartSipp("answer_echo.xml", 1);
  OpenFactory();
  Dial("3381");
  ASSERT_TRUE(RunLoopUntil([&] { return !listener_.events.empty(); }, 5000));
  ASSERT_EQ(listener_.events, std::vector<std::string>{"answered"}) << listener_.reason;

  // Talk until 2 s of the pattern have come back unchanged, in stretches of at least a block (a corrupted
  // byte cuts a stretch; the buffers may splice or conceal under load, which only shortens them). The
  // deadline is a safety net for a loaded machine, not the measure.
  const size_t wanted = 2 * 8000;
  uint64_t checked_at = 0;
  TalkFor(20000, [&]() -> bool {
    if (received_.size() < wanted || received_.size() < checked_at + 8000) return false;
    checked_at = received_.size();
    return BytesInExactRuns(ExactRuns(sent_, received_)) >= wanted;
  });
  std::vector<size_t> runs = ExactRuns(sent_, received_);
  ASSERT_FALSE(runs.empty()) << "nothing of the pattern came back in " << received_.size() << " bytes";
  EXPECT_GE(runs.front(), 8 * kBlockSamples);
  EXPECT_GE(BytesInExactRuns(runs), wanted) << "received " << received_.size() << " bytes";
  if (getenv("SIP_SHOW")) {
    std::cout << "received " << received_.size() << " in exact runs " << BytesInExactRuns(runs) << ":";
    for (size_t run : runs)
      std::cout << " " << run;
    std::cout << "\n";
  }
  SipMediaCounters counters = sip_far_end().media_counters();
  EXPECT_GE(counters.packets_out, 100u);
  EXPECT_GE(counters.packets_in, 100u);
  EXPECT_EQ(counters.ignored_in, 0u);
  const std::string summary = sip_far_end().Counters();
  EXPECT_EQ(summary.rfind("extension 3381, rtp in " + std::to_string(counters.packets_in) + " out ", 0), 0u)
      << summary;
  EXPECT_NE(summary.find(", hold " + std::to_string(counters.hold_ms) + " ms"), std::string::npos) << summary;
  EXPECT_GT(counters.hold_ms, 0);

  far_end_.reset();  // the visitor hangs up: SIPp's scenario needs our BYE to pass
  EXPECT_EQ(WaitSippExit(5000), 0);
  EXPECT_EQ(listener_.events, std::vector<std::string>{"answered"});
}

class SippHoldTest : public SippTest, public ::testing::WithParamInterface<const char*> {};

// Hold and resume by re-INVITE (with an OPTIONS probe between) and by UPDATE.
TEST_P(SippHoldTest, HoldAndResumeFromThePhoneKeepTheCall) {
  StartSipp(GetParam(), 1);
  OpenFactory();
  Dial("3381");
  ASSERT_TRUE(RunLoopUntil([&] { return !listener_.events.empty(); }, 5000));
  // Each re-INVITE must be answered in kind (recvonly to sendonly, sendrecv to sendrecv), OPTIONS with 200;
  // the call lasts until the phone's own BYE.
  TalkFor(10000, [&] { return listener_.over; });
  EXPECT_EQ(listener_.events, (std::vector<std::string>{"answered", "ended"}));
  EXPECT_EQ(listener_.reason, "hung up");
  EXPECT_EQ(WaitSippExit(5000), 0);
  auto logged = [&](const std::string& what) {
    return std::any_of(log_.begin(), log_.end(),
                       [&](const std::string& l) { return l.find(what) != std::string::npos; });
  };
  EXPECT_TRUE(logged("media on hold (recvonly)"));
  EXPECT_TRUE(logged("media resumed (sendrecv)"));
}

INSTANTIATE_TEST_SUITE_P(ReinviteAndUpdate, SippHoldTest,
                         ::testing::Values("hold_resume.xml", "update_hold_resume.xml"));

TEST_F(SippTest, OnlyTheConfiguredTransportListens) {
  OpenFactory();  // the PBX by UDP
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(local_port());
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_NE(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0) << "SIP over TCP is open";
  close(fd);
}

TEST_F(SippTest, AnsweredCallOverTcp) {
  StartSipp("answer_echo.xml", 1, /*tcp=*/true);
  OpenFactory({}, /*tcp=*/true);
  Dial("3381");
  ASSERT_TRUE(RunLoopUntil([&] { return !listener_.events.empty(); }, 5000));
  ASSERT_EQ(listener_.events, std::vector<std::string>{"answered"}) << listener_.reason;
  TalkFor(20000,
          [&] { return received_.size() >= 8000 && BytesInExactRuns(ExactRuns(sent_, received_)) >= 4000; });
  EXPECT_GE(BytesInExactRuns(ExactRuns(sent_, received_)), 8000u / 2);
  far_end_.reset();
  EXPECT_EQ(WaitSippExit(5000), 0);
}

TEST_F(SippTest, BusyExtensionMovesToTheNextOfTheHuntList) {
  StartSipp("busy_then_answer.xml", 2);
  OpenFactory();
  Dial("2001,2002");
  ASSERT_TRUE(RunLoopUntil([&] { return listener_.events.size() >= 2 || listener_.over; }, 5000));
  EXPECT_EQ(listener_.events, (std::vector<std::string>{"trying next", "answered"})) << listener_.reason;
  EXPECT_EQ(sip_far_end().extension(), "2002");
  far_end_.reset();
  EXPECT_EQ(WaitSippExit(5000), 0);
}

TEST_F(SippTest, RingLimitCancelsTheExtensionAndMovesToTheNext) {
  StartSipp("ring_then_next.xml", 2);
  OpenFactory({{"ring_limit", "1"}});
  uint64_t start = tmr_jiffies();
  Dial("2001,2002");
  ASSERT_TRUE(RunLoopUntil([&] { return listener_.events.size() >= 2 || listener_.over; }, 5000));
  EXPECT_EQ(listener_.events, (std::vector<std::string>{"trying next", "answered"})) << listener_.reason;
  EXPECT_GE(listener_.answered_at - start, 900u);
  far_end_.reset();
  EXPECT_EQ(WaitSippExit(5000), 0);  // the first call saw our CANCEL, the second our BYE
}

TEST_F(SippTest, UnknownNumberIsRefused) {
  StartSipp("refuse_404.xml", 1);
  OpenFactory();
  Dial("9999,3381");
  ASSERT_TRUE(RunLoopUntil([&] { return listener_.over; }, 5000));
  EXPECT_EQ(listener_.events, std::vector<std::string>{"refused"});
  EXPECT_NE(listener_.reason.find("404"), std::string::npos) << listener_.reason;
  EXPECT_EQ(WaitSippExit(5000), 0);
  EXPECT_EQ(listener_.events, std::vector<std::string>{"refused"});  // the second extension is never dialled
}

TEST_F(SippTest, HangUpFromThePbxEndsTheCall) {
  StartSipp("answer_then_bye.xml", 1);
  OpenFactory();
  Dial("3381");
  ASSERT_TRUE(RunLoopUntil([&] { return listener_.over; }, 5000));
  EXPECT_EQ(listener_.events, (std::vector<std::string>{"answered", "ended"}));
  EXPECT_EQ(listener_.reason, "hung up");
  uint8_t block[kBlockSamples];
  EXPECT_FALSE(far_end_->ReadBlock(block));
  EXPECT_EQ(WaitSippExit(5000), 0);
}

TEST_F(SippTest, HangingUpWhileRingingSendsCancel) {
  StartSipp("ring_then_cancel.xml", 1);
  OpenFactory();
  Dial("3381");
  RunLoopFor(700);  // the phone rings
  EXPECT_TRUE(listener_.events.empty());
  far_end_.reset();
  EXPECT_EQ(WaitSippExit(5000), 0);
  EXPECT_TRUE(listener_.events.empty());  // nothing is reported after the far end is gone
}

TEST_F(SippTest, SilentServerEndsTheCallWithinMaxWait) {
  StartSipp("silent.xml", 1);
  OpenFactory({{"max_wait", "2"}});
  uint64_t start = tmr_jiffies();
  Dial("3381,3382");
  ASSERT_TRUE(RunLoopUntil([&] { return listener_.over; }, 6000));
  EXPECT_EQ(listener_.events, std::vector<std::string>{"ended"});
  EXPECT_NE(listener_.reason.find("did not respond"), std::string::npos) << listener_.reason;
  EXPECT_GE(listener_.ended_at - start, 1900u);
  EXPECT_LE(listener_.ended_at - start, 4000u);
  far_end_.reset();
  RunLoopFor(200);  // giving up leaves nothing behind that reports or crashes
  EXPECT_EQ(listener_.events, std::vector<std::string>{"ended"});
}

class SippAuthTest : public SippTest {
 protected:
  std::string WritePassword(const std::string& password) {
    std::string path = folder_ + "/password";
    FILE* file = fopen(path.c_str(), "w");
    fprintf(file, "%s\n", password.c_str());
    fclose(file);
    chmod(path.c_str(), 0600);
    return path;
  }
};

TEST_F(SippAuthTest, DigestChallengeIsAnswered) {
  StartSipp("auth_challenge.xml", 1);
  OpenFactory({{"credentials_file", WritePassword("s3cret-pass")}});
  Dial("3381");
  ASSERT_TRUE(RunLoopUntil([&] { return !listener_.events.empty(); }, 5000));
  EXPECT_EQ(listener_.events, std::vector<std::string>{"answered"}) << listener_.reason;
  far_end_.reset();
  EXPECT_EQ(WaitSippExit(5000), 0);
}

TEST_F(SippAuthTest, RegistersAsTrunkUserAnsweringTheChallenge) {
  StartSipp("register.xml", 1);
  OpenFactory({{"credentials_file", WritePassword("s3cret-pass")}, {"register", "yes"}});
  EXPECT_TRUE(RunLoopUntil([&] { return factory_->registered(); }, 5000));
  EXPECT_EQ(WaitSippExit(5000), 0);
  ASSERT_FALSE(log_.empty());
  EXPECT_NE(log_.back().find("registered at"), std::string::npos) << log_.back();
}

TEST_F(SippAuthTest, RejectedCredentialsAreNotSentAgainUntilTheBackOff) {
  StartSipp("register_refused.xml", 1);
  OpenFactory({{"credentials_file", WritePassword("wrong-pass")}, {"register", "yes"}});
  RunLoopUntil([&] { return sipp_.Poll().has_value(); }, 8000);
  std::string messages = ReadWholeFile(folder_ + "/messages.log");
  size_t registers = 0;
  for (size_t at = messages.find("\nREGISTER sip:"); at != std::string::npos;
       at = messages.find("\nREGISTER sip:", at + 1))
    ++registers;
  // The first asks, the second answers the challenge; a brute-force guard would ban any more.
  EXPECT_EQ(registers, 2u) << messages;
  EXPECT_FALSE(factory_->registered());
  auto said = [&](const std::string& what) {
    return std::any_of(log_.begin(), log_.end(),
                       [&](const std::string& l) { return l.find(what) != std::string::npos; });
  };
  EXPECT_TRUE(said("next registration in 60 s")) << ::testing::PrintToString(log_);
}

// A reload with new credentials registers again at once with them, and the trunk's state follows.
TEST_F(SippAuthTest, AReloadWithNewCredentialsRegistersAgain) {
  StartSipp("register.xml", 2);
  OpenFactory({{"credentials_file", WritePassword("wrong-pass")}, {"register", "yes"}});
  using Registration = SipTrunkHealth::Registration;
  ASSERT_TRUE(
      RunLoopUntil([&] { return factory_->health().registration() == Registration::kRefused; }, 5000));
  SipSettings next = settings_;
  next.password = "s3cret-pass";
  std::string error;
  EXPECT_TRUE(factory_->Reconfigure(next, &error).empty()) << error;
  EXPECT_TRUE(RunLoopUntil([&] { return factory_->registered(); }, 5000));
  EXPECT_EQ(factory_->health().registration(), Registration::kRegistered);
  EXPECT_EQ(WaitSippExit(5000), 0);
}

TEST_F(SippAuthTest, ChallengeWithoutCredentialsEndsTheCall) {
  StartSipp("auth_challenge.xml", 1);
  OpenFactory();
  Dial("3381");
  ASSERT_TRUE(RunLoopUntil([&] { return listener_.over; }, 5000));
  EXPECT_EQ(listener_.events, std::vector<std::string>{"ended"});
  EXPECT_NE(listener_.reason.find("401"), std::string::npos) << listener_.reason;
}

}  // namespace
}  // namespace exchange
