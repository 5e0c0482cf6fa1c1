#include "client_test.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <thread>

namespace e2e {

namespace {

constexpr milliseconds kWindowLimit(30000);
constexpr milliseconds kReadyLimit(30000);
constexpr milliseconds kExitLimit(10000);
// The transcript probe runs for at most this long; a test never lasts as long.
constexpr int kTranscriptMs = 20 * 60 * 1000;

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' '))
    s.pop_back();
  return s;
}

std::string Tail(const std::string& text, size_t max_lines) {
  std::vector<std::string> lines = SplitLines(text);
  size_t from = lines.size() > max_lines ? lines.size() - max_lines : 0;
  std::string out;
  if (from > 0) out += "  ... (" + std::to_string(from) + " earlier lines in the log file)\n";
  for (size_t i = from; i < lines.size(); ++i)
    out += "  " + lines[i] + "\n";
  return out;
}

// The simulator's log without the line for every voice datagram.
std::string SimLogDigest(const std::string& log) {
  std::string out;
  size_t voice = 0;
  for (const std::string& l : SplitLines(log)) {
    if (l.find(" VoiceSent ") != std::string::npos || l.find(" VoiceReceived ") != std::string::npos) {
      ++voice;
      continue;
    }
    out += l + "\n";
  }
  if (voice > 0) out += "(" + std::to_string(voice) + " voice datagram lines left out)\n";
  return out;
}

}  // namespace

bool PollUntil(const std::function<bool()>& condition, milliseconds limit, milliseconds step) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(step);
  }
}

void ClientTest::SetUp() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  test_name_ = std::string(info->test_suite_name()) + "." + info->name();
  // It names the test's log files: a parameterised test's "Voice/FarEndTone..." would name a folder.
  std::replace(test_name_.begin(), test_name_.end(), '/', '.');
  ASSERT_TRUE(wine().problem().empty()) << "The end-to-end suite cannot run: " << wine().problem();
  unlink(wine().playback_file().c_str());
  for (const char* suffix : {".client.txt", ".status.txt", ".sim.txt", ".transcript.txt"}) {
    unlink((wine().logs_dir() + "/" + test_name_ + suffix).c_str());
  }
  // Every test starts with no client at all. One left over (an aborted run) would take the probe's
  // commands; a mutex not yet released would turn this test's start into a second instance.
  if (WaitUntilNoInstance()) return;
  CommandResult before = Probe({"instance"});
  std::printf("[ note     ] %s: a client is left over (%s, probe exit %d %s); restarting the wineserver\n",
              test_name_.c_str(), Trim(before.out).c_str(), before.exit_code, Trim(before.err).c_str());
  std::fflush(stdout);
  wine().RestartWineServer();
  ASSERT_TRUE(WaitUntilNoInstance()) << "a client is left over even after a restart of the wineserver: "
                                     << before.out << " then " << Probe({"instance"}).out;
}

bool ClientTest::WaitUntilNoInstance(milliseconds limit) {
  return wine().Probe({"wait-free", std::to_string(limit.count())}, limit + milliseconds(20000)).ok();
}

void ClientTest::TearDown() {
  if (!wine().problem().empty()) return;  // nothing was started
  StopClient();
  if (transcript_) transcript_->Stop();
  if (sim_) sim_->Stop();
  std::string status;
  for (const std::string& l : Transcript())
    status += l + "\n";
  WriteFile(wine().logs_dir() + "/" + test_name_ + ".status.txt", status);
  if (sim_) WriteFile(wine().logs_dir() + "/" + test_name_ + ".sim.txt", sim_->Log());
  if (HasFailure()) std::cerr << Diagnostics();
}

void ClientTest::StopClient() {
  if (!client_.started() || !client_.Running()) return;
  Probe({"esc"});
  if (client_.WaitExit(kExitLimit)) return;
  ADD_FAILURE() << "the client did not end within " << kExitLimit.count() << " ms of an Esc; killing Wine";
  client_.Kill();
  wine().RestartWineServer();
}

void ClientTest::StartSimulator(exsim::Options options) {
  // A port still held for a moment by what the previous test started gets a few seconds to come free; if
  // it stays taken, the message names who holds it.
  std::string error;
  const auto give_up = std::chrono::steady_clock::now() + milliseconds(5000);
  for (;;) {
    sim_ = std::make_unique<exsim::Simulator>(options);
    error.clear();
    if (sim_->Start(&error)) return;
    if (error.find("in use") == std::string::npos || std::chrono::steady_clock::now() >= give_up) break;
    sim_.reset();
    std::this_thread::sleep_for(milliseconds(250));
  }
  CommandResult holders = RunCommand({"/bin/ss", "-tanup"}, {}, milliseconds(5000));
  FAIL() << "the exchange simulator cannot start: " << error
         << " (is another simulator or the demo running?)\nsockets here:\n"
         << holders.out;
}

Child ClientTest::StartClientProcess(Profile profile, const std::string& output_name) {
  return Child::Start(wine().ClientCommand(ClientExe()), ClientEnv(profile),
                      wine().logs_dir() + "/" + output_name);
}

void ClientTest::LaunchClient(Profile profile) {
  profile_ = profile;
  // The transcript's probe is running before the client starts, so no line can come before it.
  StartTranscript();
  client_ = StartClientProcess(profile, test_name_ + ".client.txt");
  ASSERT_TRUE(client_.started()) << "cannot start " << wine().client_build().loader;
  CommandResult window =
      wine().Probe({"wait-window", std::to_string(kWindowLimit.count())}, kWindowLimit * 2);
  ASSERT_TRUE(window.ok()) << "the client's window (caption HalvenorTavisk) did not appear within "
                           << kWindowLimit.count() << " ms; client running: " << client_.Running() << "; "
                           << Probe({"instance"}).out;
  const char* ready = profile == Profile::kSound ? line::kChooseDepartment : line::kUnusable;
  ASSERT_TRUE(WaitForLine(ready, kReadyLimit))
      << "the start-up did not end with \"" << ready << "\"; " << TranscriptState();
}

void ClientTest::StartTranscript() {
  transcript_ = std::make_unique<LineReader>();
  std::vector<std::string> args = {"transcript", std::to_string(kTranscriptMs), "10"};
  transcript_->Start(wine().WineCommand(wine().probe_exe(), args), wine().Env(Profile::kSound),
                     wine().logs_dir() + "/" + test_name_ + ".transcript.txt");
}

std::string ClientTest::TranscriptState() {
  std::string state = "client running: yes";
  if (!client_.Running()) {
    int status = client_.exit_status();
    state = WIFSIGNALED(status) ? "client killed by signal " + std::to_string(WTERMSIG(status))
                                : "client ended with exit status " + std::to_string(WEXITSTATUS(status));
  }
  state += "; transcript probe ";
  if (!transcript_ || !transcript_->ReachedEnd()) {
    state += "running";
  } else {
    // Its output has ended; the process itself follows a moment later.
    PollUntil([&] { return transcript_->Exited(); }, milliseconds(2000), milliseconds(20));
    int status = transcript_->exit_status();
    state += !transcript_->Exited() ? "closed its output"
             : WIFSIGNALED(status)  ? "killed by signal " + std::to_string(WTERMSIG(status))
                                    : "ended with exit status " + std::to_string(WEXITSTATUS(status));
  }
  CommandResult instance = Probe({"instance"});
  state += "; instance probe (exit " + std::to_string(instance.exit_code) + "): " + Trim(instance.out) + " " +
           Trim(instance.err);
  return state;
}

CommandResult ClientTest::Probe(const std::vector<std::string>& args) {
  return wine().Probe(args);
}

std::string ClientTest::ProbeOk(const std::vector<std::string>& args) {
  CommandResult r = Probe(args);
  std::string joined;
  for (const std::string& a : args)
    joined += " " + a;
  EXPECT_TRUE(r.ok()) << "uiprobe" << joined << " failed (exit " << r.exit_code
                      << (r.timed_out ? ", timed out" : "") << "): " << r.out << r.err;
  return r.out;
}

void ClientTest::Press(int control_id) {
  ProbeOk({"click", std::to_string(control_id)});
}

std::vector<std::string> ClientTest::LogNow() {
  return SplitLines(ProbeOk({"log"}));
}

std::vector<std::string> ClientTest::Transcript() const {
  return transcript_ ? transcript_->Lines() : std::vector<std::string>();
}

bool ClientTest::WaitForLine(const std::string& text, milliseconds limit) {
  if (!transcript_) return false;
  auto has = [&](const std::vector<std::string>& lines) {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
  };
  // The probe ends when the window goes: no line comes after that.
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!transcript_->WaitFor(has, milliseconds(200))) {
    if (transcript_->ReachedEnd() || std::chrono::steady_clock::now() >= deadline) return has(Transcript());
  }
  return true;
}

bool ClientTest::TranscriptHas(const std::string& text) const {
  return TranscriptCount(text) > 0;
}

size_t ClientTest::TranscriptCount(const std::string& text) const {
  std::vector<std::string> lines = Transcript();
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), text));
}

bool ClientTest::WaitForEvent(Kind kind, size_t count, milliseconds limit, int channel) {
  return sim_->WaitFor(
      [&](const std::vector<Event>& events) { return exsim::Count(events, kind, channel) >= count; }, limit);
}

size_t ClientTest::EventCount(Kind kind, int channel) const {
  return exsim::Count(sim_->Events(), kind, channel);
}

std::vector<Event> ClientTest::EventsOf(Kind kind, int channel) const {
  return exsim::Filter(sim_->Events(), kind, channel);
}

bool ClientTest::CloseClient(milliseconds limit) {
  Probe({"esc"});
  return client_.WaitExit(limit);
}

bool ClientTest::ShootWindow(const std::string& name, Image* image, int* window_x, int* window_y) {
  std::istringstream geometry(ProbeOk({"geometry"}));
  int w = 0, h = 0;
  if (!(geometry >> *window_x >> *window_y >> w >> h)) return false;
  std::string ppm = wine().work_dir() + "/screen.ppm";
  if (!wine().Screenshot(image, ppm)) return false;
  if (!name.empty())
    wine().SaveCrop(ppm, *window_x, *window_y, w, h, wine().shots_dir() + "/" + name + ".png");
  return true;
}

std::string ClientTest::PhoneButtonPicture() {
  Image shot;
  int wx = 0, wy = 0;
  if (!ShootWindow("", &shot, &wx, &wy)) return "no screenshot";
  Rgb c = shot.At(wx + 236, wy + 98);
  if (c.r > 180 && c.g < 120 && c.b < 120) return "red";
  if (c.r > 150 && c.r < 250 && std::abs(c.r - c.g) < 25 && std::abs(c.g - c.b) < 25) return "grey";
  return "RGB(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

bool ClientTest::WaitForPhoneButton(const std::string& picture, milliseconds limit) {
  return PollUntil([&] { return PhoneButtonPicture() == picture; }, limit, milliseconds(100));
}

std::string ClientTest::Diagnostics() const {
  std::ostringstream out;
  out << "---- " << test_name_ << ": status lines the window showed\n" << JoinLines(Transcript());
  if (sim_) out << "---- simulator log\n" << SimLogDigest(sim_->Log());
  std::string client_log = ReadFile(wine().logs_dir() + "/" + test_name_ + ".client.txt");
  if (!client_log.empty()) out << "---- client output\n" << Tail(client_log, 30);
  std::string transcript_err = ReadFile(wine().logs_dir() + "/" + test_name_ + ".transcript.txt");
  if (!transcript_err.empty()) out << "---- transcript probe's errors\n" << Tail(transcript_err, 10);
  out << "---- logs in " << wine().logs_dir() << "/" << test_name_ << ".*\n";
  return out.str();
}

}  // namespace e2e
