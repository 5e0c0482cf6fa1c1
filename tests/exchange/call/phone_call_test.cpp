#include "exchange/call/phone_call.h"

#include <gtest/gtest.h>

#include "fake_call_ports.h"

namespace exchange {
namespace {

using testing::ManualTimers;
using testing::RecordingLink;
using testing::ScriptedFactory;
using Kind = ExchangeEvent::Kind;

constexpr uint32_t kClientIp = 0xC0000207;  // 192.0.2.7
constexpr uint32_t kOtherIp = 0xC0000263;   // 192.0.2.99

struct EventLog : ExchangeObserver {
  void OnEvent(const ExchangeEvent& e) override {
    kinds.push_back(e.kind);
    if (e.summary != nullptr) summary = *e.summary;
    texts.push_back(e.text);
  }
  bool WantsVoiceEvents() const override { return false; }
  int Count(Kind kind) const { return static_cast<int>(std::count(kinds.begin(), kinds.end(), kind)); }
  std::vector<Kind> kinds;
  std::vector<std::string> texts;
  CallSummary summary;
};

std::string ClientDatagram(int64_t sequence, char fill) {
  return BuildClientVoice(sequence, std::string(kVoiceSamples, fill));
}

class PhoneCallTest : public ::testing::Test {
 protected:
  PhoneCallTest() : link_(timers_) {
    auto factory = std::make_unique<ScriptedFactory>();
    factory_ = factory.get();
    factory_->records.reserve(16);
    far_ends_.Add("scripted", std::move(factory));
    plan_.AddExtension("3381", {"scripted", "3381,3382"});
    plan_.AllowDirectNumbers("pw12", "0,1", {"scripted", ""});
    env_.timers = &timers_;
    env_.dial_plan = Unowned(plan_);
    env_.far_ends = &far_ends_;
    env_.observer = &events_;
    env_.settings = Unowned(settings_);
  }
  ~PhoneCallTest() override { call_.reset(); }

  void Open(Answer answer = Answer::kAnswer) {
    CallContext context;
    context.channel = 1;
    context.call = 3;
    context.connection = 2;
    context.peer = Endpoint{kClientIp, 51000};
    context.tcp_port = 20482;
    context.udp_port = 20483;
    call_ = std::make_unique<PhoneCall>(env_, context, link_, answer);
  }

  // Opens an answered call, lets its tags go and dials `dial`.
  void Dial(const std::string& dial) {
    Open();
    timers_.Advance(200);
    call_->OnClientBytes(BuildLocalAddressMessage("192.0.2.7"));
    call_->OnClientBytes(BuildDialMessage("192.0.2.7", dial));
  }

  ManualTimers timers_;
  RecordingLink link_;
  FarEndRegistry far_ends_;
  ScriptedFactory* factory_ = nullptr;
  DialPlan plan_;
  CallSettings settings_;
  EventLog events_;
  CallEnvironment env_;
  std::unique_ptr<PhoneCall> call_;
};

// ---- Tags ----

TEST_F(PhoneCallTest, AnsweredChannelSendsItsTagsOneAtATimeWithGaps) {
  settings_.hello = true;
  settings_.announce_udp_port = 21000;
  Open();
  timers_.Advance(99);
  EXPECT_TRUE(link_.tags.empty()) << "the first tag waits for the first-tag delay";
  timers_.Advance(200);
  ASSERT_EQ(link_.TagTexts(),
            (std::vector<std::string>{"{HELO}", "{RemoteUDPPort}[21000]", "{ChanelWaitBohao}"}));
  EXPECT_EQ(link_.tags[0].at_ms, 1100u);
  EXPECT_EQ(link_.tags[1].at_ms - link_.tags[0].at_ms, 50u);
  EXPECT_EQ(link_.tags[2].at_ms - link_.tags[1].at_ms, 50u);
}

TEST_F(PhoneCallTest, BusyChannelSaysSoIgnoresTheDialAndIsNoCall) {
  Open(Answer::kBusy);
  timers_.Advance(150);
  EXPECT_EQ(link_.TagTexts(), std::vector<std::string>{"{ChanelBusyNow}"});
  EXPECT_FALSE(call_->holds_channel());
  call_->OnClientBytes(BuildDialMessage("192.0.2.7", "3381"));
  EXPECT_TRUE(factory_->records.empty());
  call_->OnClientClosed("client closed");
  EXPECT_TRUE(call_->finished());
  EXPECT_EQ(events_.Count(Kind::CallEnded), 0) << "a busy reply is not a call";
}

TEST_F(PhoneCallTest, BusyConnectionThatIsNeverReleasedIsClosedAfterTheLinger) {
  settings_.linger_ms = 30000;
  settings_.busy_linger_ms = 5000;
  Open(Answer::kBusy);
  timers_.Advance(4900);
  EXPECT_EQ(link_.closes, 0);
  timers_.Advance(200);
  EXPECT_EQ(link_.closes, 1);
  EXPECT_TRUE(call_->finished());
}

TEST_F(PhoneCallTest, SilentChannelSendsNothing) {
  settings_.dial_timeout_ms = 0;
  Open(Answer::kSilent);
  timers_.Advance(60000);
  EXPECT_TRUE(link_.tags.empty());
  EXPECT_EQ(link_.closes, 0);
}

// ---- Dialling ----

TEST_F(PhoneCallTest, DepartmentDialReachesItsRouteWhateverTheSegmentation) {
  Open();
  timers_.Advance(200);
  std::string bytes = BuildLocalAddressMessage("192.0.2.7") + BuildDialMessage("192.0.2.7", "3381");
  for (char c : bytes)
    call_->OnClientBytes(std::string_view(&c, 1));
  ASSERT_EQ(factory_->records.size(), 1u);
  EXPECT_EQ(factory_->records[0].target, "3381,3382");
  EXPECT_TRUE(factory_->records[0].started);
}

TEST_F(PhoneCallTest, DirectNumberNeedsItsPasswordAndAnAllowedPrefix) {
  Dial("01234567#pw12#");
  ASSERT_EQ(factory_->records.size(), 1u);
  EXPECT_EQ(factory_->records[0].target, "01234567");
  for (const std::string& text : events_.texts)
    EXPECT_EQ(text.find("pw12"), std::string::npos) << text;
}

TEST_F(PhoneCallTest, RefusedDialGetsTheRefusalAndTheLineStaysOpenUntilTheClientHangsUp) {
  settings_.linger_ms = 30000;
  Dial("01234567#guess#");
  timers_.Advance(100);
  EXPECT_TRUE(factory_->records.empty());
  ASSERT_EQ(link_.TagTexts().back(), "{PasswordOrTelphoneNumberFailed}");
  EXPECT_EQ(link_.closes, 0);
  // The line takes no second dial: not even the right password is checked on it.
  call_->OnClientBytes(BuildDialMessage("192.0.2.7", "01234567#pw12#"));
  timers_.Advance(100);
  std::vector<std::string> tags = link_.TagTexts();
  EXPECT_EQ(std::count(tags.begin(), tags.end(), "{PasswordOrTelphoneNumberFailed}"), 1);
  EXPECT_TRUE(factory_->records.empty());
  call_->OnClientClosed("client closed");
  EXPECT_EQ(events_.summary.ended, "refused");
  EXPECT_EQ(events_.summary.dial, "01234567#*#");
}

TEST_F(PhoneCallTest, WrongDirectPasswordsLockTheirSourceOutWhateverItDialsNext) {
  DirectNumberGuard guard({3, 10000, 3600000, 1000, 600000});
  env_.direct_guard = &guard;
  auto dial_from = [&](uint32_t ip, const std::string& dial) {
    call_.reset();
    CallContext context;
    context.peer = Endpoint{ip, 51000};
    call_ = std::make_unique<PhoneCall>(env_, context, link_, Answer::kAnswer);
    timers_.Advance(200);
    call_->OnClientBytes(BuildDialMessage("192.0.2.7", dial));
    return factory_->records.size();
  };
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(dial_from(kClientIp, "01234567#guess" + std::to_string(i) + "#"), 0u);
  EXPECT_EQ(dial_from(kClientIp, "01234567#pw12#"), 0u) << "a locked source is refused unchecked";
  EXPECT_NE(events_.texts.back().find("locked"), std::string::npos) << events_.texts.back();
  EXPECT_EQ(dial_from(kOtherIp, "01234567#pw12#"), 1u) << "another address is not locked";
  EXPECT_EQ(dial_from(kClientIp, "3381"), 2u) << "extensions need no password and stay open";
  timers_.Advance(10000);
  EXPECT_EQ(dial_from(kClientIp, "01234567#pw12#"), 3u) << "the lockout ends";
}

TEST_F(PhoneCallTest, DialsBeyondTheirRateAreRefusedAndMessagesBeyondTheBudgetClose) {
  RateBuckets dials(2);
  env_.dial_rate = &dials;
  for (int i = 0; i < 3; ++i) {
    call_.reset();
    Dial("3381");
  }
  EXPECT_EQ(factory_->records.size(), 2u) << "a third call within the minute reached the PBX";
  EXPECT_NE(events_.texts.back().find("too many calls"), std::string::npos) << events_.texts.back();

  call_.reset();
  settings_.max_messages = 10;
  Open();
  timers_.Advance(200);
  for (int i = 0; i < 10; ++i)
    call_->OnClientBytes(BuildLocalAddressMessage("192.0.2.7"));
  EXPECT_EQ(link_.closes, 0);
  call_->OnClientBytes(BuildLocalAddressMessage("192.0.2.7"));
  EXPECT_TRUE(call_->finished());
}

TEST_F(PhoneCallTest, NothingDialledInTimeClosesTheConnection) {
  settings_.dial_timeout_ms = 20000;
  Open();
  timers_.Advance(19000);
  EXPECT_EQ(link_.closes, 0);
  timers_.Advance(1500);
  EXPECT_EQ(link_.closes, 1);
}

TEST_F(PhoneCallTest, GarbageBeyondItsAllowanceClosesTheConnection) {
  settings_.max_garbage_bytes = 100;
  Open();
  timers_.Advance(200);
  call_->OnClientBytes(std::string(60, 'x'));
  EXPECT_EQ(link_.closes, 0);
  call_->OnClientBytes(std::string(60, 'y'));
  EXPECT_EQ(link_.closes, 1);
  EXPECT_TRUE(call_->finished());
}

TEST_F(PhoneCallTest, CallTimeLimitHangsUpTheFarEndAndCloses) {
  settings_.max_call_ms = 3000;
  Dial("3381");
  timers_.Advance(2900);
  EXPECT_FALSE(factory_->records[0].destroyed);
  timers_.Advance(200);
  EXPECT_TRUE(factory_->records[0].destroyed);
  EXPECT_EQ(link_.closes, 1);
}

// ---- Voice from the client ----

TEST_F(PhoneCallTest, VoiceLatchesToTheClientAndRejectsEveryOtherSource) {
  Dial("3381");
  Endpoint client{kClientIp, 20001};
  call_->OnVoiceDatagram(Endpoint{kOtherIp, 20001}, ClientDatagram(1, 'a'));  // spoofed before the latch
  call_->OnVoiceDatagram(client, ClientDatagram(2, 'b'));
  call_->OnVoiceDatagram(Endpoint{kClientIp, 20002}, ClientDatagram(3, 'c'));  // same host, other port
  call_->OnVoiceDatagram(client, std::string(100, 'x'));                       // wrong length
  call_->OnVoiceDatagram(client, "     12x3       " + std::string(kVoiceSamples, 'd'));
  call_->OnVoiceDatagram(client, ClientDatagram(4, 'e'));
  EXPECT_EQ(factory_->records[0].sequences, (std::vector<int64_t>{2, 4}));
  EXPECT_EQ(factory_->records[0].blocks[0], std::string(kVoiceSamples, 'b'));
  EXPECT_EQ(events_.Count(Kind::VoiceLatched), 1);
  call_->OnClientClosed("client closed");
  EXPECT_EQ(events_.summary.datagrams_in, 2u);
  EXPECT_EQ(events_.summary.rejected, 4u);
  EXPECT_EQ(events_.summary.lost, 1u) << "3 never came from the client";
}

TEST_F(PhoneCallTest, VoiceBeforeTheDialNeitherLatchesNorReachesTheFarEnd) {
  Open();
  timers_.Advance(200);
  call_->OnVoiceDatagram(Endpoint{kClientIp, 40000}, ClientDatagram(1, 'a'));  // a host behind the same NAT
  EXPECT_FALSE(call_->latched());
  call_->OnClientBytes(BuildDialMessage("192.0.2.7", "3381"));
  call_->OnVoiceDatagram(Endpoint{kClientIp, 20001}, ClientDatagram(2, 'b'));
  EXPECT_EQ(call_->voice_source(), (Endpoint{kClientIp, 20001}));
  EXPECT_EQ(factory_->records[0].sequences, (std::vector<int64_t>{2}));
}

TEST_F(PhoneCallTest, OnlyASilentSourceGivesWayToAnotherPortOfTheClientsAddress) {
  settings_.relatch_after_ms = 2000;
  Dial("3381");
  const Endpoint first{kClientIp, 20001}, second{kClientIp, 40000};
  call_->OnVoiceDatagram(first, ClientDatagram(1, 'a'));
  for (int i = 0; i < 5; ++i) {  // the client keeps talking: the other port is refused
    timers_.Advance(1000);
    call_->OnVoiceDatagram(first, ClientDatagram(2 + i, 'a'));
    call_->OnVoiceDatagram(second, ClientDatagram(100 + i, 'x'));
  }
  EXPECT_EQ(call_->voice_source(), first);
  timers_.Advance(2000);
  call_->OnVoiceDatagram(Endpoint{kOtherIp, 20001}, ClientDatagram(200, 'y'));
  EXPECT_EQ(call_->voice_source(), first) << "never to another address";
  call_->OnVoiceDatagram(second, ClientDatagram(7, 'b'));
  EXPECT_EQ(call_->voice_source(), second) << "the NAT mapped the client anew";
  EXPECT_EQ(events_.Count(Kind::VoiceLatched), 2);
}

TEST_F(PhoneCallTest, SilenceLimitEndsOnlyACallWhoseVoiceStopped) {
  settings_.voice_silence_ms = 60000;
  settings_.max_call_ms = 0;
  Dial("3381");  // a visitor whose microphone failed: never a datagram
  timers_.Advance(600000);
  EXPECT_EQ(link_.closes, 0);
  call_->OnVoiceDatagram(Endpoint{kClientIp, 20001}, ClientDatagram(1, 'a'));
  timers_.Advance(59000);
  EXPECT_EQ(link_.closes, 0);
  timers_.Advance(1100);
  EXPECT_EQ(link_.closes, 1);
  EXPECT_NE(events_.summary.ended.find("voice stopped"), std::string::npos) << events_.summary.ended;
}

TEST_F(PhoneCallTest, AnySourceMayLatchWhenConfigured) {
  settings_.latch_any_source = true;
  Dial("3381");
  call_->OnVoiceDatagram(Endpoint{kOtherIp, 40000}, ClientDatagram(1, 'a'));
  EXPECT_TRUE(call_->latched());
  EXPECT_EQ(factory_->records[0].sequences.size(), 1u);
}

TEST_F(PhoneCallTest, DuplicatesAndLateDatagramsAreCountedInTheSummary) {
  Dial("3381");
  Endpoint client{kClientIp, 20001};
  for (int64_t seq : {1, 2, 2, 4, 3, 6, 6, 7})
    call_->OnVoiceDatagram(client, ClientDatagram(seq, 'a'));
  call_->OnClientClosed("client closed");
  EXPECT_EQ(events_.summary.datagrams_in, 8u);
  EXPECT_EQ(events_.summary.duplicated, 2u);
  EXPECT_EQ(events_.summary.late, 1u);
  EXPECT_EQ(events_.summary.lost, 1u) << "5 never arrived";
  EXPECT_EQ(events_.summary.ended, "client hung up");
  EXPECT_EQ(events_.summary.far_end, "scripted 3381,3382");
}

// ---- Voice to the client ----

TEST_F(PhoneCallTest, FarEndVoiceIsPacedEvery16msToTheClientsFirstPortUntilItsVoiceArrives) {
  for (int i = 0; i < 200; ++i)
    factory_->outgoing.push_back(std::string(kVoiceSamples, static_cast<char>(i)));
  Dial("3381");
  link_.voice.clear();
  timers_.Advance(1600);
  ASSERT_GE(link_.voice.size(), 99u);
  ASSERT_LE(link_.voice.size(), 101u);
  for (size_t i = 1; i < link_.voice.size(); ++i)
    EXPECT_EQ(link_.voice[i].at_ms - link_.voice[i - 1].at_ms, 16u);
  EXPECT_EQ(link_.voice[0].to, (Endpoint{kClientIp, 20001}));

  call_->OnVoiceDatagram(Endpoint{kClientIp, 20003}, ClientDatagram(1, 'a'));
  timers_.Advance(16);
  EXPECT_EQ(link_.voice.back().to, (Endpoint{kClientIp, 20003})) << "voice follows the latched source";

  // The client's datagram format: its address text, then an increasing sequence, then the block.
  std::optional<ServerVoice> a = ParseServerVoice(link_.voice[0].datagram);
  std::optional<ServerVoice> b = ParseServerVoice(link_.voice[1].datagram);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->address_text, "192.0.2.7");
  EXPECT_LT(std::stoll(a->sequence_text), std::stoll(b->sequence_text));
}

TEST_F(PhoneCallTest, ClientsQualityRequestDoublesEveryDatagram) {
  for (int i = 0; i < 10; ++i)
    factory_->outgoing.push_back(std::string(kVoiceSamples, static_cast<char>(i)));
  Dial("3381");
  call_->OnClientBytes(std::string(kTagQuality));
  link_.voice.clear();
  timers_.Advance(16 * 4);
  ASSERT_GE(link_.voice.size(), 8u);
  EXPECT_EQ(link_.voice.size() % 2, 0u);
  EXPECT_EQ(link_.voice[0].datagram, link_.voice[1].datagram);
  EXPECT_NE(link_.voice[1].datagram, link_.voice[2].datagram);
}

TEST_F(PhoneCallTest, VoiceAddressOverrideIsWrittenInsteadOfTheClientsAddress) {
  settings_.voice_address = "10.9.8.7";
  factory_->outgoing.push_back(std::string(kVoiceSamples, 'q'));
  Dial("3381");
  timers_.Advance(32);
  ASSERT_FALSE(link_.voice.empty());
  EXPECT_EQ(ParseServerVoice(link_.voice[0].datagram)->address_text, "10.9.8.7");
}

// ---- The far end's word ----

TEST_F(PhoneCallTest, HuntingTellsTheClientTheNextNumberIsDialled) {
  Dial("3381");
  timers_.Advance(100);
  factory_->listener().OnFarEndTryingNext();
  timers_.Advance(100);
  EXPECT_EQ(link_.TagTexts().back(), "{BoHaoNext}");
}

TEST_F(PhoneCallTest, FarEndRefusalIsTheRefusalTagAndTheFarEndGoes) {
  Dial("3381");
  timers_.Advance(100);
  factory_->listener().OnFarEndRefused("404 Not Found");
  timers_.Advance(100);
  EXPECT_EQ(link_.TagTexts().back(), "{PasswordOrTelphoneNumberFailed}");
  EXPECT_TRUE(factory_->records[0].destroyed);
  EXPECT_EQ(link_.closes, 0);
}

TEST_F(PhoneCallTest, FarEndHangUpClosesTheClientsConnectionAfterPendingTags) {
  Dial("3381");
  factory_->listener().OnFarEndTryingNext();
  factory_->listener().OnFarEndEnded("hung up");
  EXPECT_EQ(link_.closes, 0) << "the queued tag goes first";
  timers_.Advance(200);
  EXPECT_EQ(link_.TagTexts().back(), "{BoHaoNext}");
  EXPECT_EQ(link_.closes, 1);
  EXPECT_TRUE(factory_->records[0].destroyed);
  EXPECT_EQ(events_.summary.ended, "far end: hung up");
}

TEST_F(PhoneCallTest, ClientHangingUpHangsUpTheFarEnd) {
  Dial("3381");
  factory_->records[0].counters = "rtp in 5";
  call_->OnClientClosed("client closed");
  EXPECT_TRUE(factory_->records[0].destroyed);
  EXPECT_EQ(link_.closes, 0) << "the client's close needs no close from us";
  EXPECT_EQ(events_.Count(Kind::CallEnded), 1);
  EXPECT_EQ(events_.summary.far_end_counters, "rtp in 5") << "read before the far end is gone";
}

TEST_F(PhoneCallTest, FarEndCountersReachTheSummaryWhenTheFarEndEndsTheCall) {
  Dial("3381");
  factory_->records[0].counters = "rtp in 7";
  factory_->listener().OnFarEndEnded("hung up");
  factory_->records[0].counters = "changed after the end";
  timers_.Advance(200);
  EXPECT_EQ(events_.Count(Kind::CallEnded), 1);
  EXPECT_EQ(events_.summary.far_end_counters, "rtp in 7");
}

TEST_F(PhoneCallTest, ShutdownClosesAndSummarisesOnce) {
  Dial("3381");
  call_->Close("exchange stopped");
  call_->Close("again");
  call_->OnClientClosed("late close");
  EXPECT_EQ(link_.closes, 1);
  EXPECT_EQ(events_.Count(Kind::CallEnded), 1);
  EXPECT_EQ(events_.summary.ended, "exchange stopped");
}

}  // namespace
}  // namespace exchange
