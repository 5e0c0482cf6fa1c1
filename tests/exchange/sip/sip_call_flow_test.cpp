#include "exchange/farend/sip/sip_call_flow.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace exchange {
namespace {

// Both fakes write into one journal, so a test sees the order of SIP actions and listener events together.
struct Journal {
  std::vector<std::string> lines;
  std::vector<std::string> Take() { return std::exchange(lines, {}); }
};

class FakeSipSide : public SipLegPort {
 public:
  explicit FakeSipSide(Journal& journal) : journal_(journal) {}
  bool Invite(const std::string& extension, std::string* why) override {
    journal_.lines.push_back("INVITE " + extension);
    if (fail_invites) *why = "network unreachable";
    return !fail_invites;
  }
  void Drop() override { journal_.lines.push_back("drop"); }
  void ArmResponseTimer(uint32_t ms) override {
    journal_.lines.push_back("response timer " + std::to_string(ms));
  }
  void ArmRingTimer(uint32_t ms) override { journal_.lines.push_back("ring timer " + std::to_string(ms)); }
  void StopTimers() override { journal_.lines.push_back("stop timers"); }
  bool fail_invites = false;

 private:
  Journal& journal_;
};

class FakeListener : public FarEndListener {
 public:
  explicit FakeListener(Journal& journal) : journal_(journal) {}
  void OnFarEndAnswered() override { journal_.lines.push_back("answered"); }
  void OnFarEndTryingNext() override { journal_.lines.push_back("trying next"); }
  void OnFarEndRefused(std::string_view why) override {
    journal_.lines.push_back("refused: " + std::string(why));
  }
  void OnFarEndEnded(std::string_view why) override {
    journal_.lines.push_back("ended: " + std::string(why));
  }

 private:
  Journal& journal_;
};

using Lines = std::vector<std::string>;

class SipCallFlowTest : public testing::Test {
 protected:
  void Make(std::vector<std::string> extensions) {
    flow_.emplace(std::move(extensions), 20000, 32000, sip_, listener_);
  }
  SipCallFlow& flow() { return *flow_; }

  Journal journal_;
  FakeSipSide sip_{journal_};
  FakeListener listener_{journal_};
  std::optional<SipCallFlow> flow_;
};

TEST_F(SipCallFlowTest, AnsweredAfterRinging) {
  Make({"3381"});
  flow().Start();
  EXPECT_EQ(journal_.Take(), (Lines{"INVITE 3381", "response timer 32000"}));
  flow().OnProvisional(100);
  EXPECT_EQ(journal_.Take(), (Lines{"stop timers", "ring timer 20000"}));
  flow().OnProvisional(180);  // a later provisional does not restart the ring limit
  EXPECT_TRUE(journal_.Take().empty());
  flow().OnAnswered();
  EXPECT_EQ(journal_.Take(), (Lines{"stop timers", "answered"}));
  EXPECT_EQ(flow().state(), SipCallFlow::State::kAnswered);
}

TEST_F(SipCallFlowTest, BusyMovesToTheNextExtensionThenAnswers) {
  Make({"3381", "3382", "3390"});
  flow().Start();
  flow().OnProvisional(180);
  journal_.Take();
  flow().OnFinalFailure(486, "Busy Here");
  EXPECT_EQ(journal_.Take(),
            (Lines{"drop", "stop timers", "trying next", "INVITE 3382", "response timer 32000"}));
  flow().OnFinalFailure(600, "Busy Everywhere");  // busy even before ringing
  EXPECT_EQ(journal_.Take(),
            (Lines{"drop", "stop timers", "trying next", "INVITE 3390", "response timer 32000"}));
  flow().OnAnswered();
  EXPECT_EQ(journal_.Take(), (Lines{"stop timers", "answered"}));
  EXPECT_EQ(flow().current_extension(), "3390");
}

TEST_F(SipCallFlowTest, RingLimitMovesOnAndTheLastOneEndsTheCall) {
  Make({"3381", "3382"});
  flow().Start();
  flow().OnProvisional(180);
  journal_.Take();
  flow().OnRingTimeout();
  EXPECT_EQ(journal_.Take(),
            (Lines{"drop", "stop timers", "trying next", "INVITE 3382", "response timer 32000"}));
  flow().OnRingTimeout();  // not ringing yet: the response timer is what counts now
  EXPECT_TRUE(journal_.Take().empty());
  flow().OnProvisional(180);
  flow().OnRingTimeout();
  EXPECT_EQ(journal_.Take(), (Lines{"stop timers", "ring timer 20000", "drop", "stop timers",
                                    "ended: 3382 did not answer within 20 s"}));
}

TEST_F(SipCallFlowTest, ListExhaustedByBusyEndsTheCall) {
  Make({"3381", "3382"});
  flow().Start();
  flow().OnFinalFailure(486, "Busy Here");
  journal_.Take();
  flow().OnFinalFailure(486, "Busy Here");
  EXPECT_EQ(journal_.Take(), (Lines{"drop", "stop timers", "ended: 3382 busy (486 Busy Here)"}));
  EXPECT_EQ(flow().state(), SipCallFlow::State::kOver);
}

TEST_F(SipCallFlowTest, RefusalOfTheNumberIsReportedAndNothingElseIsDialled) {
  for (uint16_t status : {403, 404, 410, 416, 484, 485, 604}) {
    Make({"3381", "3382"});
    flow().Start();
    journal_.Take();
    flow().OnFinalFailure(status, "Nope");
    EXPECT_EQ(journal_.Take(),
              (Lines{"drop", "stop timers", "refused: 3381 refused (" + std::to_string(status) + " Nope)"}))
        << status;
    flow().OnFinalFailure(486, "late retransmission");
    flow().OnRingTimeout();
    EXPECT_TRUE(journal_.Take().empty()) << status;
  }
}

TEST_F(SipCallFlowTest, OtherFailuresEndTheCallEvenWithExtensionsLeft) {
  for (uint16_t status : {408, 500, 503, 488, 401, 407}) {
    Make({"3381", "3382"});
    flow().Start();
    journal_.Take();
    flow().OnFinalFailure(status, "");
    EXPECT_EQ(journal_.Take(),
              (Lines{"drop", "stop timers", "ended: call to 3381 failed (" + std::to_string(status) + ")"}))
        << status;
  }
}

TEST_F(SipCallFlowTest, SilentServerEndsTheCallOnceTheResponseTimerFires) {
  Make({"3381", "3382"});
  flow().Start();
  journal_.Take();
  flow().OnResponseTimeout();
  EXPECT_EQ(journal_.Take(), (Lines{"drop", "stop timers", "ended: SIP server did not respond within 32 s"}));
  flow().OnResponseTimeout();
  flow().OnTransportError("timeout");
  EXPECT_TRUE(journal_.Take().empty());
}

TEST_F(SipCallFlowTest, HangUpAfterAnswerEndsTheCallOnce) {
  Make({"3381"});
  flow().Start();
  flow().OnHangUp();  // a BYE cannot end a call that was never answered
  flow().OnAnswered();
  journal_.Take();
  flow().OnHangUp();
  EXPECT_EQ(journal_.Take(), (Lines{"drop", "stop timers", "ended: hung up"}));
  flow().OnHangUp();
  flow().OnTransportError("reset");
  flow().OnAnswered();
  EXPECT_TRUE(journal_.Take().empty());
}

TEST_F(SipCallFlowTest, TransportErrorsAndUnusableAnswersEndTheCall) {
  Make({"3381", "3382"});
  flow().Start();
  journal_.Take();
  flow().OnTransportError("Connection refused");
  EXPECT_EQ(journal_.Take(),
            (Lines{"drop", "stop timers", "ended: SIP transport error: Connection refused"}));

  Make({"3381"});
  flow().Start();
  flow().OnAnswered();
  journal_.Take();
  flow().OnTransportError("Connection reset");  // the TCP connection to the PBX dropped mid-call
  EXPECT_EQ(journal_.Take(), (Lines{"drop", "stop timers", "ended: SIP transport error: Connection reset"}));

  Make({"3381"});
  flow().Start();
  journal_.Take();
  flow().OnUnusableAnswer("PCMA refused");
  EXPECT_EQ(journal_.Take(),
            (Lines{"drop", "stop timers", "ended: answer from 3381 unusable: PCMA refused"}));
}

TEST_F(SipCallFlowTest, InviteThatCannotBeSentEndsTheCall) {
  sip_.fail_invites = true;
  Make({"3381", "3382"});
  flow().Start();
  EXPECT_EQ(journal_.Take(), (Lines{"INVITE 3381", "drop", "stop timers",
                                    "ended: INVITE to 3381 not sent: network unreachable"}));
}

TEST(SipFailureTest, ClassifiesFinalResponses) {
  for (uint16_t status : {486, 600, 480, 603})
    EXPECT_EQ(ClassifySipFailure(status), SipFailure::kBusy) << status;
  for (uint16_t status : {403, 404, 410, 416, 484, 485, 604}) {
    EXPECT_EQ(ClassifySipFailure(status), SipFailure::kRefused) << status;
  }
  for (uint16_t status : {400, 401, 407, 408, 487, 488, 500, 502, 503, 504}) {
    EXPECT_EQ(ClassifySipFailure(status), SipFailure::kFailed) << status;
  }
}

}  // namespace
}  // namespace exchange
