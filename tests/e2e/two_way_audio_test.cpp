// The visitor's side of a call: what the microphone hears reaches the exchange, comes back through an
// echoing far end and is played. Wine 8's mapper never completes converted capture, so these scenarios
// run a byte-for-byte copy of the built client with the test stand-in winmm.dll (tools/capture-standin)
// beside it, chosen by a DLL override; the stand-in is also the microphone, speaking a phrase by
// espeak-ng at the clock's pace. Playback lands in the usual ALSA file.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "client_test.h"
#include "file_growth_watch.h"
#include "sound_analysis.h"

namespace e2e {
namespace {

constexpr size_t kBlock = 128;       // A-law samples per datagram
constexpr size_t kVoiceHeader = 16;  // bytes before the block in the client's datagram
constexpr size_t kDatagramSize = kVoiceHeader + kBlock;
constexpr int kLoud = 1500;  // of 32767: well above decoded A-law silence
constexpr double kBlocksPerSecond = 62.5;
constexpr char kPhrase[] = "Good evening. Please send two cups of tea to room four hundred and twelve.";

// The phrase as the microphone speaks it: half a second of silence, the phrase, a second of silence.
struct Feed {
  std::string raw;  // 16-bit signed little-endian mono, 8000 per second
  std::vector<int16_t> samples;
  size_t onset = 0, end = 0;  // the spoken part
  std::string problem;
};

const Feed& PhraseFeed() {
  static const Feed feed = [] {
    Feed f;
    const std::string dir = WineSession::Get().work_dir() + "/feed";
    MakeDirs(dir);
    CommandResult speak =
        RunCommand({"/usr/bin/espeak-ng", "-v", "en", "-s", "150", "-w", dir + "/phrase.wav", kPhrase},
                   WithOverrides({}), milliseconds(30000));
    if (!speak.ok()) {
      f.problem = "espeak-ng failed (run scripts/setup): " + speak.out + speak.err;
      return f;
    }
    CommandResult sox =
        RunCommand({"/usr/bin/sox", dir + "/phrase.wav", "-t", "raw", "-r", "8000", "-c", "1", "-e", "signed",
                    "-b", "16", dir + "/phrase.raw", "norm", "-3", "pad", "0.5", "1"},
                   WithOverrides({}), milliseconds(30000));
    if (!sox.ok()) {
      f.problem = "sox failed: " + sox.out + sox.err;
      return f;
    }
    f.raw = ReadFile(dir + "/phrase.raw");
    f.samples = SamplesFromRaw(f.raw);
    f.onset = Onset(f.samples, kLoud);
    f.end = LastLoud(f.samples, kLoud);
    if (f.onset == std::string::npos || f.end <= f.onset) f.problem = "the spoken phrase is silent";
    return f;
  }();
  return feed;
}

std::string Dirname(const std::string& path) {
  return path.substr(0, path.rfind('/'));
}
std::string Basename(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

std::string WinePath(const std::string& unix_path) {
  std::string out = "Z:" + unix_path;
  std::replace(out.begin(), out.end(), '/', '\\');
  return out;
}

// Processes that have `path` open (any descriptor), as "pid" texts.
std::vector<std::string> HoldersOf(const std::string& path) {
  std::vector<std::string> holders;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return holders;
  while (dirent* p = readdir(proc)) {
    if (p->d_name[0] < '0' || p->d_name[0] > '9') continue;
    std::string fd_dir = std::string("/proc/") + p->d_name + "/fd";
    DIR* fds = opendir(fd_dir.c_str());
    if (fds == nullptr) continue;
    while (dirent* f = readdir(fds)) {
      char target[4096];
      ssize_t n = readlink((fd_dir + "/" + f->d_name).c_str(), target, sizeof target - 1);
      if (n > 0 && std::string(target, static_cast<size_t>(n)) == path) holders.push_back(p->d_name);
    }
    closedir(fds);
  }
  closedir(proc);
  return holders;
}

int CountLines(const std::string& text, const std::string& word) {
  int n = 0;
  for (const std::string& l : SplitLines(text))
    if (l.find(word) != std::string::npos) ++n;
  return n;
}

double Milliseconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// The moments (steady clock) the stand-in's microphone spoke the sound's first sample, from its log: it
// gives them in the system time (100 ns units since 1601), which is this process's system clock.
std::vector<std::chrono::steady_clock::time_point> MicrophoneStarts(const std::string& log) {
  using std::chrono::steady_clock;
  using std::chrono::system_clock;
  static const char kLabel[] = "the sound's first sample at ";
  std::vector<steady_clock::time_point> starts;
  for (const std::string& l : SplitLines(log)) {
    size_t at = l.find(kLabel);
    if (at == std::string::npos) continue;
    long long ticks = std::stoll(l.substr(at + sizeof kLabel - 1));
    auto since_1970 = std::chrono::microseconds(ticks / 10) - std::chrono::seconds(11644473600LL);
    system_clock::time_point spoken(std::chrono::duration_cast<system_clock::duration>(since_1970));
    starts.push_back(steady_clock::now() -
                     std::chrono::duration_cast<steady_clock::duration>(system_clock::now() - spoken));
  }
  return starts;
}

class TwoWayAudio : public ClientTest {
 protected:
  void SetUp() override {
    ClientTest::SetUp();
    if (HasFatalFailure()) return;
    const std::string stand_in = wine().client_build().capture_standin;
    ASSERT_TRUE(FileExists(stand_in)) << "the capture stand-in has not been built: expected " << stand_in
                                      << " (cmake --build build/win64 --target capture_standin, or win32)";
    const Feed& feed = PhraseFeed();
    ASSERT_TRUE(feed.problem.empty()) << feed.problem;
    ASSERT_TRUE(WriteFile(FeedFile(), feed.raw));
    // The program that ships, copied unchanged, with the stand-in beside it.
    MakeDirs(StandInDir());
    std::string client = ReadFile(wine().client_exe());
    ASSERT_TRUE(WriteFile(ClientExe(), client));
    ASSERT_EQ(ReadFile(ClientExe()), client);
    ASSERT_TRUE(WriteFile(StandInDir() + "/winmm.dll", ReadFile(stand_in)));
    unlink(StandInLog().c_str());
  }

  void TearDown() override {
    ClientTest::TearDown();
    if (HasFailure()) std::cerr << "---- capture stand-in log\n" << ReadFile(StandInLog());
  }

  std::string StandInDir() const { return wine().work_dir() + "/standin"; }
  std::string StandInLog() const { return wine().logs_dir() + "/" + test_name() + ".standin.txt"; }
  std::string FeedFile() const { return Dirname(wine().playback_file()) + "/capture-feed.raw"; }

  std::string ClientExe() const override { return StandInDir() + "/" + Basename(wine().client_exe()); }
  Environment ClientEnv(Profile) const override {
    Environment env = wine().Env(Profile::kSound);
    // Native first for winmm: the stand-in beside the program; it loads the system's own by full path.
    env.push_back("WINEDLLOVERRIDES=winmm=n,b");
    env.push_back("CAPTURE_STANDIN_LOG=" + WinePath(StandInLog()));
    env.push_back("CAPTURE_STANDIN_FEED=" + WinePath(FeedFile()));
    return env;
  }

  void PlaceCall(exsim::Options options) {
    StartSimulator(std::move(options));
    if (HasFatalFailure()) return;
    LaunchClient();
    if (HasFatalFailure()) return;
    Press();
  }

  void HangUp(size_t calls = 1) {
    Press();
    ASSERT_TRUE(WaitForEvent(Kind::ClientClosed, calls, milliseconds(10000))) << Diagnostics();
    ASSERT_TRUE(WaitForLine(line::kOnHook)) << Diagnostics();
  }

  // The datagrams the exchange received in call `call` (0: every call).
  std::vector<Event> Received(int call = 0) const {
    std::vector<Event> voice = EventsOf(Kind::VoiceReceived);
    if (call != 0)
      voice.erase(std::remove_if(voice.begin(), voice.end(), [&](const Event& e) { return e.call != call; }),
                  voice.end());
    return voice;
  }

  // The blocks of these datagrams, decoded, in the order they came.
  std::vector<int16_t> Heard(const std::vector<Event>& voice, const std::string& name) {
    std::string alaw;
    for (const Event& e : voice)
      if (e.bytes.size() == kDatagramSize) alaw += e.bytes.substr(kVoiceHeader);
    std::string problem;
    std::vector<int16_t> samples = DecodeAlaw(alaw, wine().work_dir(), &problem);
    EXPECT_TRUE(problem.empty()) << problem;
    // Kept for listening to (sox -t raw -r 8000 -e signed -b 16 -c 1 FILE -d).
    WriteFile(wine().logs_dir() + "/" + test_name() + "." + name + ".raw",
              ReadFile(wine().work_dir() + "/decode-out.raw"));
    return samples;
  }

  // Sequence numbers must run first, first + 1... in arrival order, each `copies` times.
  void ExpectGaplessSequence(const std::vector<Event>& voice, int copies, long long first = 1) {
    size_t wrong = 0;
    for (size_t i = 0; i < voice.size(); ++i) {
      long long expected = static_cast<long long>(i / static_cast<size_t>(copies)) + first;
      if (voice[i].sequence != expected && wrong++ == 0)
        ADD_FAILURE() << "datagram " << i << " carries sequence " << voice[i].sequence << ", not "
                      << expected;
      if (copies == 2 && i % 2 == 1) {
        EXPECT_EQ(voice[i].bytes, voice[i - 1].bytes) << "the copies of sequence " << expected << " differ";
      }
    }
    EXPECT_EQ(wrong, 0u) << "of " << voice.size() << " datagrams";
  }

  // Datagrams per second over voice[skip, count): the first few leave together while the device's
  // first buffers fill.
  double Rate(const std::vector<Event>& voice, size_t count, size_t skip = 16) const {
    double seconds = std::chrono::duration<double>(voice[count - 1].when - voice[skip].when).count();
    return static_cast<double>(count - 1 - skip) / seconds;
  }

  // Datagrams that cover the phrase and the silence after it.
  size_t FeedBlocks() const { return PhraseFeed().samples.size() / kBlock; }
};

TEST_F(TwoWayAudio, TheVisitorsPhraseReachesTheExchangeInOrderAtTheBlockRate) {
  ASSERT_NO_FATAL_FAILURE(PlaceCall({}));
  const size_t wanted = FeedBlocks();
  ASSERT_TRUE(WaitForEvent(Kind::VoiceReceived, wanted, milliseconds(30000))) << Diagnostics();
  ASSERT_NO_FATAL_FAILURE(HangUp());

  std::vector<Event> voice = Received();
  ASSERT_GE(voice.size(), wanted);
  ExpectGaplessSequence(voice, 1);
  for (const Event& e : voice)
    ASSERT_EQ(e.bytes.size(), kDatagramSize);
  double rate = Rate(voice, wanted);
  EXPECT_NEAR(rate, kBlocksPerSecond, kBlocksPerSecond * 0.03);

  const Feed& feed = PhraseFeed();
  Alignment a = BestAlignment(feed.samples, feed.onset, feed.end, Heard(voice, "heard"));
  EXPECT_GE(a.correlation, 0.9) << "the exchange did not receive the phrase (best lag " << a.lag << ")";
  std::printf("[ figures  ] phrase at the exchange: correlation %.4f at lag %ld samples; %.2f datagrams/s\n",
              a.correlation, a.lag, rate);
}

TEST_F(TwoWayAudio, AfterTheExchangeAsksForQualityEachDatagramArrivesTwice) {
  exsim::Options options;
  options.quality = true;
  ASSERT_NO_FATAL_FAILURE(PlaceCall(options));
  const size_t wanted = 2 * FeedBlocks();
  ASSERT_TRUE(WaitForEvent(Kind::VoiceReceived, wanted, milliseconds(30000))) << Diagnostics();
  ASSERT_NO_FATAL_FAILURE(HangUp());

  std::vector<Event> voice = Received();
  // The request and the first captured block cross: a few blocks may go once before the client has read
  // it, as the sound card delivers its first block 16 ms after the start.
  size_t singles = 0;
  while (singles + 1 < voice.size() && voice[singles + 1].sequence != voice[singles].sequence)
    ++singles;
  EXPECT_LE(singles, 12u) << "datagrams went twice only from sequence " << singles + 1;
  ExpectGaplessSequence({voice.begin(), voice.begin() + static_cast<long>(singles)}, 1);
  ExpectGaplessSequence({voice.begin() + static_cast<long>(singles), voice.end()}, 2,
                        static_cast<long long>(singles) + 1);
  double pairs_per_second = Rate(voice, wanted, 32) / 2;
  EXPECT_NEAR(pairs_per_second, kBlocksPerSecond, kBlocksPerSecond * 0.03);
  std::vector<Event> once(voice.begin(), voice.begin() + static_cast<long>(singles));
  for (size_t i = singles; i < voice.size(); i += 2)
    once.push_back(voice[i]);
  const Feed& feed = PhraseFeed();
  Alignment a = BestAlignment(feed.samples, feed.onset, feed.end, Heard(once, "heard"));
  EXPECT_GE(a.correlation, 0.9) << "the exchange did not receive the phrase (best lag " << a.lag << ")";
  std::printf(
      "[ figures  ] duplicate mode: %.2f pairs/s, phrase correlation %.4f, %zu block(s) sent once first\n",
      pairs_per_second, a.correlation, singles);
}

TEST_F(TwoWayAudio, TheEchoedPhraseIsPlayedAndMouthToEarIsMeasured) {
  exsim::Options options;
  options.voice = exsim::VoiceMode::kEcho;
  FileGrowthWatch ear;
  ear.Start(wine().playback_file());
  ASSERT_NO_FATAL_FAILURE(PlaceCall(options));
  const size_t wanted = FeedBlocks();
  ASSERT_TRUE(WaitForEvent(Kind::VoiceSent, wanted, milliseconds(30000))) << Diagnostics();
  // What was sent last has been played.
  std::this_thread::sleep_for(milliseconds(500));
  ASSERT_NO_FATAL_FAILURE(HangUp());
  ear.Stop();

  const Feed& feed = PhraseFeed();
  std::string played_raw = ReadFile(wine().playback_file());
  WriteFile(wine().logs_dir() + "/" + test_name() + ".played.raw", played_raw);
  std::vector<int16_t> raw = SamplesFromRaw(played_raw);
  // Wine fills each 10 ms its playback runs dry with zeros; the blocks the client played are the rest.
  std::vector<size_t> raw_index;
  size_t gaps = 0;
  std::vector<int16_t> played = WithoutDigitalSilence(raw, 40, &raw_index, &gaps);
  Alignment a = BestAlignment(feed.samples, feed.onset, feed.end, played);
  EXPECT_GE(a.correlation, 0.9) << "the playback file (" << raw.size()
                                << " samples) does not hold the phrase; best lag " << a.lag;
  if (a.correlation < 0.9) return;

  // Mouth: the moment the microphone heard the phrase's first loud sample, counted from the call's
  // start of recording (the last start before the first datagram). Ear: the moment that sample reached the
  // playback file.
  std::vector<Event> voice = Received();
  ASSERT_FALSE(voice.empty());
  std::vector<std::chrono::steady_clock::time_point> starts = MicrophoneStarts(ReadFile(StandInLog()));
  auto opened = std::find_if(starts.rbegin(), starts.rend(), [&](auto t) { return t < voice[0].when; });
  ASSERT_NE(opened, starts.rend()) << "the microphone did not start before the first datagram";
  auto mouth =
      *opened + std::chrono::microseconds(static_cast<long long>(feed.onset) * 1000000 / kSampleRate);
  FileGrowthWatch::Clock::time_point ear_time;
  size_t played_onset = raw_index[static_cast<size_t>(static_cast<long>(feed.onset) + a.lag)];
  ASSERT_TRUE(ear.WhenReached(2 * (played_onset + 1), &ear_time));
  double latency = Milliseconds(ear_time - mouth);
  EXPECT_GT(latency, 0) << "the phrase cannot be played before it is spoken";
  std::printf(
      "[ figures  ] mouth to ear through the echo: %.0f ms (played phrase correlation %.4f; Wine filled %zu "
      "dry 10 ms periods with silence)\n",
      latency, a.correlation, gaps);
  RecordProperty("mouth_to_ear_ms", static_cast<int>(latency));
}

TEST_F(TwoWayAudio, HangingUpOrExitingWhileCapturingLeavesNothingOpenAndEachCallCapturesAgain) {
  ASSERT_NO_FATAL_FAILURE(StartSimulator({}));
  ASSERT_NO_FATAL_FAILURE(LaunchClient());
  const Feed& feed = PhraseFeed();
  // Enough of each call to hold the first 1.5 s of the phrase.
  const size_t begin_blocks = (feed.onset + 12000) / kBlock + 20;
  constexpr int kCalls = 3;
  for (int call = 1; call <= kCalls + 1; ++call) {
    SCOPED_TRACE("call " + std::to_string(call));
    Press();
    ASSERT_TRUE(WaitForEvent(Kind::LocalAddressReceived, static_cast<size_t>(call))) << Diagnostics();
    int number = EventsOf(Kind::LocalAddressReceived).back().call;
    ASSERT_TRUE(sim().WaitFor(
        [&](const std::vector<Event>& events) {
          return std::count_if(events.begin(), events.end(), [&](const Event& e) {
                   return e.kind == Kind::VoiceReceived && e.call == number;
                 }) >= static_cast<long>(begin_blocks);
        },
        milliseconds(20000)))
        << Diagnostics();
    std::vector<Event> voice = Received(number);
    ExpectGaplessSequence(voice, 1);
    Alignment a = BestAlignment(feed.samples, feed.onset, feed.onset + 12000,
                                Heard(voice, "call" + std::to_string(call)));
    EXPECT_GE(a.correlation, 0.9) << "this call did not capture the phrase";
    // Each call opens the device afresh, so the phrase starts where it starts in the sound.
    EXPECT_LE(std::labs(a.lag), 800) << "the phrase is " << a.lag << " samples off its place";
    ASSERT_FALSE(HoldersOf(FeedFile()).empty()) << "capture runs, so the device is open";
    if (call <= kCalls) {
      ASSERT_NO_FATAL_FAILURE(HangUp(static_cast<size_t>(call)));
    } else {
      ASSERT_TRUE(CloseClient()) << "the client did not end while capturing";
    }
    EXPECT_TRUE(PollUntil([&] { return HoldersOf(FeedFile()).empty(); }, milliseconds(3000)))
        << "the capture device is still open (processes " << HoldersOf(FeedFile()).size() << ")";
  }
  std::string log = ReadFile(StandInLog());
  EXPECT_EQ(CountLines(log, " open "), kCalls + 1) << log;
  EXPECT_EQ(CountLines(log, " close "), kCalls + 1) << "every capture device was closed by the client\n"
                                                    << log;
}

}  // namespace
}  // namespace e2e
