// The far end's voice: what is played, the talking light, the arrival monitor's quality request, and a
// peer that sends garbage and floods.
#include <algorithm>
#include <cstdio>

#include "client_test.h"

namespace e2e {
namespace {

struct Flips {
  int online = -1, talking = -1;
};

class Voice : public ClientTest {
 protected:
  void PlaceCall(exsim::Options options) {
    StartSimulator(std::move(options));
    if (HasFatalFailure()) return;
    LaunchClient();
    if (HasFatalFailure()) return;
    Press();
  }

  Flips WatchLights(int ms, int step) {
    Flips f;
    std::string watched = ProbeOk({"watch-lights", std::to_string(ms), std::to_string(step)});
    EXPECT_EQ(std::sscanf(watched.c_str(), "online_flips=%d talking_flips=%d", &f.online, &f.talking), 2)
        << watched;
    return f;
  }

  void HangUp(int channel = 0) {
    Press();
    ASSERT_TRUE(WaitForEvent(Kind::ClientClosed, 1, milliseconds(10000), channel)) << Diagnostics();
    ASSERT_TRUE(WaitForLine(line::kOnHook)) << Diagnostics();
  }
};

class FarEndTone : public Voice, public ::testing::WithParamInterface<int> {};

TEST_P(FarEndTone, IsPlayedAtItsFrequency) {
  const int hz = GetParam();
  exsim::Options options;
  options.voice = exsim::VoiceMode::kTone;
  options.tone_hz = hz;
  ASSERT_NO_FATAL_FAILURE(PlaceCall(options));
  // About three seconds of tone.
  ASSERT_TRUE(WaitForEvent(Kind::VoiceSent, 190, milliseconds(20000))) << Diagnostics();
  ASSERT_NO_FATAL_FAILURE(HangUp());
  size_t sent = EventCount(Kind::VoiceSent);

  ToneReport tone;
  std::string problem;
  ASSERT_TRUE(wine().AnalysePlayback(&tone, &problem)) << problem;
  EXPECT_NEAR(tone.rough_hz, hz, hz * 0.06) << tone.sox_output;
  EXPECT_GT(tone.rms, 0.1) << tone.sox_output;
  // One 128-sample block per datagram: the loud part is about as long as what was sent (8000 samples a
  // second of 16-bit mono; a different rate or channel count would be far off).
  double blocks = static_cast<double>(tone.loud_samples) / 128.0;
  EXPECT_GT(blocks, 0.6 * static_cast<double>(sent))
      << tone.loud_samples << " loud samples for " << sent << " datagrams";
  EXPECT_LT(blocks, 1.3 * static_cast<double>(sent))
      << tone.loud_samples << " loud samples for " << sent << " datagrams";
}

INSTANTIATE_TEST_SUITE_P(Voice, FarEndTone, ::testing::Values(1000, 600),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::to_string(info.param) + "Hz";
                         });

TEST_F(Voice, TalkingLightFlipsWhileVoiceArrivesAndGoesDarkOnHangUp) {
  exsim::Options options;
  options.voice = exsim::VoiceMode::kTone;
  options.hangup_after_ms = -1;
  ASSERT_NO_FATAL_FAILURE(StartSimulator(options));
  ASSERT_NO_FATAL_FAILURE(LaunchClient());
  EXPECT_EQ(WatchLights(500, 10).talking, 0) << "no voice, no flips";
  Press();
  ASSERT_TRUE(WaitForEvent(Kind::VoiceSent, 20)) << Diagnostics();
  Flips during = WatchLights(1000, 5);
  EXPECT_GT(during.talking, 5) << "the talking light flips with each datagram";
  Image shot;
  int wx, wy;
  ShootWindow("talking", &shot, &wx, &wy);
  ASSERT_NO_FATAL_FAILURE(HangUp());
  EXPECT_NE(ProbeOk({"lights"}).find("talking=0"), std::string::npos) << "hidden after the hang-up";
  EXPECT_EQ(WatchLights(400, 10).talking, 0);
}

// The first 200 arrival intervals of a call decide: a mean above 16 ms sends one "{ZhiLiangCha}".
TEST_F(Voice, SlowArrivalSendsOneQualityRequestAtTheTwoHundredAndFirstDatagram) {
  exsim::Options options;
  options.voice = exsim::VoiceMode::kTone;
  options.voice_pace_ms = 25;
  options.voice_count = 300;
  ASSERT_NO_FATAL_FAILURE(PlaceCall(options));
  ASSERT_TRUE(WaitForEvent(Kind::QualityRequestReceived, 1, milliseconds(30000))) << Diagnostics();
  EXPECT_TRUE(WaitForLine(line::kQualityAdjusted)) << Diagnostics();
  // Nothing is heard as a request before the 201st datagram has been sent.
  std::vector<Event> events = sim().Events();
  auto request = std::find_if(events.begin(), events.end(),
                              [](const Event& e) { return e.kind == Kind::QualityRequestReceived; });
  size_t sent_before = static_cast<size_t>(
      std::count_if(events.begin(), request, [](const Event& e) { return e.kind == Kind::VoiceSent; }));
  EXPECT_GE(sent_before, 201u);
  EXPECT_LE(sent_before, 240u);
  EXPECT_EQ(request->bytes, "{ZhiLiangCha}");
  ASSERT_TRUE(WaitForEvent(Kind::VoiceStopped, 1, milliseconds(30000))) << Diagnostics();
  ASSERT_NO_FATAL_FAILURE(HangUp());
  // The connection's close comes after anything the client sent on it.
  EXPECT_EQ(EventCount(Kind::QualityRequestReceived), 1u) << "once per call";
  EXPECT_EQ(TranscriptCount(line::kQualityAdjusted), 1u);
}

TEST_F(Voice, FastArrivalSendsNoQualityRequest) {
  exsim::Options options;
  options.voice = exsim::VoiceMode::kTone;
  options.voice_pace_ms = 10;
  options.voice_count = 300;
  ASSERT_NO_FATAL_FAILURE(PlaceCall(options));
  ASSERT_TRUE(WaitForEvent(Kind::VoiceSent, 20)) << Diagnostics();
  EXPECT_GT(WatchLights(500, 5).talking, 5) << "the datagrams reach the client";
  ASSERT_TRUE(WaitForEvent(Kind::VoiceStopped, 1, milliseconds(30000))) << Diagnostics();
  // The client works through what it has received; a request would come on the signalling connection.
  EXPECT_FALSE(WaitForEvent(Kind::QualityRequestReceived, 1, milliseconds(1500)));
  ASSERT_NO_FATAL_FAILURE(HangUp());
  EXPECT_EQ(EventCount(Kind::QualityRequestReceived), 0u);
  EXPECT_FALSE(TranscriptHas(line::kQualityAdjusted));
}

TEST_F(Voice, HostilePeerLeavesTheClientWorkingAndItStillHangsUpCleanly) {
  exsim::Options options;
  options.hostile = true;
  options.voice = exsim::VoiceMode::kTone;
  ASSERT_NO_FATAL_FAILURE(PlaceCall(options));
  // Garbage chunks come before "{ChanelWaitBohao}": the client still dials.
  ASSERT_TRUE(WaitForEvent(Kind::DialReceived, 1, milliseconds(20000))) << Diagnostics();
  ASSERT_TRUE(WaitForEvent(Kind::HostileVoiceSent, 1, milliseconds(10000))) << Diagnostics();
  ASSERT_TRUE(WaitForEvent(Kind::VoiceSent, 50, milliseconds(20000))) << Diagnostics();
  // The window answers (the probe's messages are handled) and the client is still in the call.
  EXPECT_TRUE(Probe({"alive"}).ok());
  EXPECT_EQ(SplitLines(ProbeOk({"rows"})).back(), "selected=0");
  EXPECT_EQ(EventCount(Kind::ClientClosed), 0u) << "the client did not drop the call";
  EXPECT_EQ(EventCount(Kind::GarbageReceived), 0u) << "the client sent nothing odd";
  Image shot;
  int wx, wy;
  ShootWindow("hostile-peer", &shot, &wx, &wy);
  auto pressed = std::chrono::steady_clock::now();
  // The log still updates and the close reaches the server only after the press.
  ASSERT_NO_FATAL_FAILURE(HangUp());
  std::vector<Event> closed = EventsOf(Kind::ClientClosed);
  ASSERT_EQ(closed.size(), 1u);
  EXPECT_GT(closed[0].when, pressed);
  EXPECT_TRUE(client_running());
}

}  // namespace
}  // namespace e2e
