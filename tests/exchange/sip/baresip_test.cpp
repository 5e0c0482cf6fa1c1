// The SIP far end against a softphone nobody here wrote: baresip (Debian's baresip-core) answering on its
// own, a file as its microphone, its received audio dumped to a file. Voice both ways byte for byte, hold and
// resume and a hang-up from the phone. (A wrong trunk password needs a registrar: SIPp plays that one.)
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <re.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "alaw_pattern.h"
#include "exchange/farend/sip/sip_far_end.h"
#include "exchange/farend/sip/sip_far_end_factory.h"
#include "exchange/protocol/alaw.h"
#include "sipp_process.h"
#include "tests/exchange/libre_loop.h"

namespace exchange {
namespace {

::testing::Environment* const libre_environment =
    ::testing::AddGlobalTestEnvironment(new exchange::testing::LibreEnvironment);
using exchange::testing::RunLoopUntil;

constexpr uint16_t kPhonePort = 25080;
constexpr uint16_t kConsolePort = 25555;

struct Listener : FarEndListener {
  void OnFarEndAnswered() override { events.push_back("answered"); }
  void OnFarEndTryingNext() override { events.push_back("trying next"); }
  void OnFarEndRefused(std::string_view why) override { events.push_back("refused " + std::string(why)); }
  void OnFarEndEnded(std::string_view why) override { events.push_back("ended " + std::string(why)); }
  std::vector<std::string> events;
};

// How much of `heard` lies in stretches of at least a block found byte for byte in `said` (the jitter buffers
// on either side may splice the stream; between splices nothing may change).
size_t BytesInExactRuns(const std::vector<uint8_t>& said, const std::vector<uint8_t>& heard) {
  size_t total = 0;
  for (size_t h = 0; h + 8 <= heard.size(); h += 8) {
    for (size_t s = 0; s + 8 <= said.size(); ++s) {
      if (!std::equal(heard.begin() + h, heard.begin() + h + 8, said.begin() + s)) continue;
      size_t run = 0;
      while (h + run < heard.size() && s + run < said.size() && heard[h + run] == said[s + run])
        ++run;
      if (run >= kBlockSamples) total += run;
      h += run - run % 8;
      break;
    }
  }
  return total;
}

void WriteWav(const std::string& path, const std::vector<uint8_t>& alaw) {
  std::ofstream f(path, std::ios::binary);
  auto u32 = [&](uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
  uint32_t data = static_cast<uint32_t>(alaw.size() * 2);
  f.write("RIFF", 4), u32(36 + data), f.write("WAVEfmt ", 8), u32(16), u16(1), u16(1), u32(8000), u32(16000);
  u16(2), u16(16), f.write("data", 4), u32(data);
  for (uint8_t code : alaw)
    u16(static_cast<uint16_t>(AlawDecode(code)));
}

// The 16-bit samples of a wav file baresip wrote, as A-law (exact: they were A-law on the wire).
std::vector<uint8_t> ReadWavAsAlaw(const std::string& path) {
  std::string bytes = ReadWholeFile(path);
  std::vector<uint8_t> out;
  size_t at = bytes.find("data");
  for (at = at == std::string::npos ? bytes.size() : at + 8; at + 1 < bytes.size(); at += 2) {
    auto low = static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]));
    auto high = static_cast<uint16_t>(static_cast<uint8_t>(bytes[at + 1]));
    out.push_back(AlawEncode(static_cast<int16_t>(static_cast<uint16_t>(high << 8 | low))));
  }
  return out;
}

class BaresipTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/sip-baresip-XXXXXX";
    folder_ = mkdtemp(folder);
    WriteWav(folder_ + "/speak.wav", phone_says_);
    std::ofstream(folder_ + "/config") << "poll_method epoll\nsip_listen 127.0.0.1:" << kPhonePort
                                       << "\naudio_source aufile," << folder_ << "/speak.wav\n"
                                       << "audio_player aubridge,nowhere\naudio_alert aubridge,nowhere\n"
                                       << "rtp_ports 26000-26099\nsnd_path " << folder_ << "\n"
                                       << "module_path /usr/lib/baresip/modules\nmodule g711.so\n"
                                       << "module aufile.so\nmodule aubridge.so\nmodule sndfile.so\n"
                                       << "module cons.so\ncons_listen 127.0.0.1:" << kConsolePort
                                       << "\nmodule menu.so\nmodule account.so\n";
    std::ofstream(folder_ + "/accounts")
        << "<sip:phone@127.0.0.1:" << kPhonePort << ">;regint=0;answermode=auto;audio_codecs=PCMA\n";
    ASSERT_TRUE(phone_.Start({"-f", folder_}, folder_ + "/screen.log"));
    ASSERT_TRUE(phone_.WaitListening(kPhonePort, false, 5000)) << ReadWholeFile(folder_ + "/screen.log");
    SipSettings settings;
    std::string error;
    ASSERT_TRUE(ParseSipSettings({{"server", "sip:127.0.0.1:" + std::to_string(kPhonePort)},
                                  {"user", "visitors"},
                                  {"local", "127.0.0.1:25070"},
                                  {"rtp_ports", "27000-27099"}},
                                 &settings, &error))
        << error;
    factory_ = SipFarEndFactory::Open(settings, &error, [this](const std::string& l) { log_.push_back(l); });
    ASSERT_TRUE(factory_) << error;
  }
  void TearDown() override {
    far_end_.reset();
    RunLoopUntil([] { return false; }, 200);
    phone_.Terminate(3000);
    factory_.reset();
    if (HasFailure()) std::cout << ReadWholeFile(folder_ + "/screen.log");
    std::system(("rm -rf " + folder_).c_str());
  }

  // Feeds the client's pattern every 16 ms for `ms` and keeps what the phone sends.
  void Talk(uint64_t ms) {
    uint64_t end = tmr_jiffies() + ms;
    while (tmr_jiffies() < end && !over()) {
      size_t at = static_cast<size_t>(sequence_) * kBlockSamples % (client_says_.size() - kBlockSamples);
      far_end_->OnClientVoice(++sequence_, client_says_.data() + at);
      uint8_t block[kBlockSamples];
      if (far_end_->ReadBlock(block)) heard_.insert(heard_.end(), block, block + kBlockSamples);
      RunLoopUntil([] { return false; }, 16);
    }
  }
  bool over() const {
    return std::any_of(listener_.events.begin(), listener_.events.end(),
                       [](const std::string& e) { return e.rfind("ended", 0) == 0; });
  }
  // A key of baresip's menu, through its console port ('x' hold, 'X' resume, 'b' hang up).
  void PressKey(char key) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kConsolePort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, &key, 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(fd);
  }
  bool Logged(const std::string& what) const {
    return std::any_of(log_.begin(), log_.end(),
                       [&](const std::string& l) { return l.find(what) != std::string::npos; });
  }

  std::string folder_;
  SippProcess phone_{"baresip"};
  std::unique_ptr<SipFarEndFactory> factory_;
  std::unique_ptr<FarEnd> far_end_;
  Listener listener_;
  std::vector<std::string> log_;
  std::vector<uint8_t> client_says_ = AlawPattern(8000 * 10, 0x9E3779B97F4A7C15ull);
  std::vector<uint8_t> phone_says_ = AlawPattern(8000 * 10, 0xC2B2AE3D27D4EB4Full);
  std::vector<uint8_t> heard_;
  int64_t sequence_ = 0;
};

TEST_F(BaresipTest, VoiceBothWaysByteForByteHoldResumeAndHangUpFromThePhone) {
  far_end_ = factory_->Create(FarEndRequest{"8001", "phone", "127.0.0.1:40001", "baresip-call"}, listener_);
  far_end_->Start();
  ASSERT_TRUE(RunLoopUntil([&] { return !listener_.events.empty(); }, 5000));
  ASSERT_EQ(listener_.events, std::vector<std::string>{"answered"});
  Talk(5000);
  EXPECT_GE(BytesInExactRuns(phone_says_, heard_), 8000u)
      << "the phone's microphone, " << heard_.size() << " bytes";

  PressKey('x');
  ASSERT_TRUE(RunLoopUntil([&] { return Logged("media on hold"); }, 3000)) << ::testing::PrintToString(log_);
  Talk(500);
  PressKey('X');
  ASSERT_TRUE(RunLoopUntil([&] { return Logged("media resumed"); }, 3000)) << ::testing::PrintToString(log_);
  Talk(1000);
  EXPECT_EQ(listener_.events, std::vector<std::string>{"answered"}) << "the call did not survive the hold";

  PressKey('b');
  Talk(3000);
  EXPECT_TRUE(over()) << ::testing::PrintToString(listener_.events);
  // What the phone heard from the client, from baresip's dump of the decoded audio.
  std::vector<uint8_t> dumped;
  for (const char* pattern : {"dec"}) {
    std::string list = folder_ + "/list";
    std::system(("ls " + folder_ + "/dump-*" + pattern + ".wav > " + list + " 2>/dev/null").c_str());
    std::string names = ReadWholeFile(list);
    if (!names.empty()) dumped = ReadWavAsAlaw(names.substr(0, names.find('\n')));
  }
  EXPECT_GE(BytesInExactRuns(client_says_, dumped), 8000u) << "the phone heard " << dumped.size() << " bytes";
}

}  // namespace
}  // namespace exchange
