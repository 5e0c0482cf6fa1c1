#include "wine_session.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace e2e {

namespace {

constexpr char kWine[] = "/usr/lib/wine/wine64";
constexpr char kWineServer[] = "/usr/lib/wine/wineserver";
constexpr int kLoudThreshold = 2000;  // of 32767: far above the decoded A-law silence (a few units)

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' '))
    s.pop_back();
  return s;
}

double NumberAfter(const std::string& text, const std::string& label) {
  size_t at = text.find(label);
  if (at == std::string::npos) return NAN;
  at = text.find(':', at);
  if (at == std::string::npos) return NAN;
  return std::strtod(text.c_str() + at + 1, nullptr);
}

}  // namespace

Rgb Image::At(int x, int y) const {
  if (x < 0 || y < 0 || x >= width || y >= height) return Rgb{-1, -1, -1};
  size_t i = (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3;
  return Rgb{rgb[i], rgb[i + 1], rgb[i + 2]};
}

std::string HexArgument(const std::string& text) {
  bool ascii =
      std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii && text.rfind("hex:", 0) != 0) return text;
  static const char digits[] = "0123456789ABCDEF";
  std::string out = "hex:";
  for (unsigned char c : text) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (char c : text) {
    if (c == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
      line.clear();
    } else {
      line.push_back(c);
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines)
    out += "  | " + l + "\n";
  return out;
}

WineSession& WineSession::Get() {
  static WineSession session;
  return session;
}

bool WineSession::Fail(const std::string& why) {
  problem_ = why;
  return false;
}

bool WineSession::SetUp() {
  probe_exe_ = PELVARINE_E2E_UIPROBE_PATH;
  source_dir_ = PELVARINE_SOURCE_DIR;
  work_dir_ = PELVARINE_E2E_WORK_DIR;
  logs_dir_ = work_dir_ + "/logs";
  shots_dir_ = work_dir_ + "/shots";
  if (!FileExists(client_.exe) || !FileExists(probe_exe_)) {
    return Fail(
        "the Windows client or the probe has not been built: expected\n  " + client_.exe + "\n  " +
        probe_exe_ +
        "\nBuild them with `cmake --preset win64 && cmake --build build/win64`, or point the CMake cache "
        "variables PELVARINE_E2E_CLIENT and PELVARINE_E2E_UIPROBE at them (PELVARINE_E2E=OFF leaves the "
        "suite out).");
  }
  if (!FileExists(kWine)) return Fail(std::string(kWine) + " is missing: run scripts/setup");
  if (!FileExists(client_.loader)) return Fail(client_.loader + " is missing: run scripts/setup");
  MakeDirs(logs_dir_);
  MakeDirs(shots_dir_);

  const std::string wine_env = source_dir_ + "/scripts/wine-env";
  CommandResult prepared = RunCommand({"/bin/bash", wine_env, "prepare", work_dir_, "unmanaged"},
                                      WithOverrides({}), milliseconds(180000));
  if (!prepared.ok()) return Fail("scripts/wine-env prepare failed:\n" + prepared.out + prepared.err);
  if (client_.loader != kWine) {
    // The first 32-bit program in a prefix brings the prefix's 32-bit side up to date (over 40 s): paid
    // here, once, not by a test.
    CommandResult warmed =
        RunCommand({"/bin/bash", wine_env, "warm-32", work_dir_}, WithOverrides({}), milliseconds(300000));
    if (!warmed.ok()) return Fail("scripts/wine-env warm-32 failed:\n" + warmed.out + warmed.err);
  }
  for (Profile p : {Profile::kSound, Profile::kNoSound}) {
    CommandResult env =
        RunCommand({"/bin/bash", wine_env, "env", work_dir_, p == Profile::kSound ? "sound" : "nosound"},
                   WithOverrides({}), milliseconds(10000));
    if (!env.ok()) return Fail("scripts/wine-env env failed:\n" + env.out + env.err);
    Environment overrides;
    for (const std::string& line : SplitLines(env.out)) {
      if (line.rfind("PLAYBACK_FILE=", 0) == 0) {
        playback_file_ = line.substr(14);
      } else if (line.find('=') != std::string::npos) {
        overrides.push_back(line);
      }
    }
    (p == Profile::kSound ? sound_env_ : nosound_env_) = overrides;
  }
  if (!StartXvfb()) return false;
  for (Environment* env : {&sound_env_, &nosound_env_}) {
    env->push_back("DISPLAY=" + display_);
    *env = WithOverrides(*env);
    // Nothing of the caller's Wine set-up may leak in.
    env->erase(std::remove_if(env->begin(), env->end(),
                              [](const std::string& e) {
                                return e.rfind("WINEARCH=", 0) == 0 || e.rfind("WINEDLLOVERRIDES=", 0) == 0 ||
                                       e.rfind("WINEDLLPATH=", 0) == 0;
                              }),
               env->end());
  }
  RestartWineServer();
  set_up_ = true;

  CommandResult host = Probe({"host-addresses"}, milliseconds(60000));
  std::vector<std::string> lines = SplitLines(host.out);
  if (!host.ok() || lines.size() < 2) {
    return Fail("the probe could not list the host's addresses under Wine (exit " +
                std::to_string(host.exit_code) + "):\n" + host.out + host.err);
  }
  local_address_ = Trim(lines.back());
  return true;
}

bool WineSession::StartXvfb() {
  if (!FileExists("/usr/bin/Xvfb")) return Fail("Xvfb is missing: run scripts/setup");
  // -displayfd: Xvfb picks a free display and writes its number once it accepts connections.
  std::string size = std::to_string(screen_width()) + "x" + std::to_string(screen_height()) + "x24";
  if (!xvfb_.Start({"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", size, "-nolisten", "tcp", "-noreset"},
                   WithOverrides({}))) {
    return Fail("cannot start Xvfb");
  }
  bool ready =
      xvfb_.WaitFor([](const std::vector<std::string>& l) { return !l.empty(); }, milliseconds(20000));
  if (!ready) return Fail("Xvfb did not report its display number");
  display_ = ":" + Trim(xvfb_.Lines().front());
  return true;
}

void WineSession::TearDown() {
  if (set_up_) {
    RunCommand({kWineServer, "-k"}, sound_env_, milliseconds(20000));
    RunCommand({kWineServer, "-w"}, sound_env_, milliseconds(20000));
  }
  xvfb_.Stop();
  set_up_ = false;
}

Environment WineSession::Env(Profile profile) const {
  return profile == Profile::kSound ? sound_env_ : nosound_env_;
}

std::vector<std::string> WineSession::WineCommand(const std::string& exe,
                                                  const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {kWine, exe};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

std::vector<std::string> WineSession::ClientCommand(const std::string& exe) const {
  return {client_.loader, exe};
}

CommandResult WineSession::Probe(const std::vector<std::string>& args, milliseconds limit) const {
  std::vector<std::string> encoded;
  for (const std::string& a : args)
    encoded.push_back(HexArgument(a));
  return RunCommand(WineCommand(probe_exe_, encoded), sound_env_, limit);
}

void WineSession::RestartWineServer() {
  RunCommand({kWineServer, "-k"}, sound_env_, milliseconds(20000));
  RunCommand({kWineServer, "-w"}, sound_env_, milliseconds(20000));
  // Persistent: Wine's own services stay up between the tests' processes, so each start is quick.
  RunCommand({kWineServer, "-p"}, sound_env_, milliseconds(20000));
}

bool WineSession::Screenshot(Image* image, const std::string& ppm_path) const {
  CommandResult shot = RunCommand(
      {"/usr/bin/import", "-display", display_, "-window", "root", "-depth", "8", "ppm:" + ppm_path},
      sound_env_, milliseconds(20000));
  if (!shot.ok()) return false;
  std::string data = ReadFile(ppm_path);
  // Binary PPM: "P6" width height maxval, each followed by white space, then the pixels.
  std::istringstream in(data);
  std::string magic;
  int maxval = 0;
  in >> magic >> image->width >> image->height >> maxval;
  if (magic != "P6" || maxval != 255 || image->width <= 0 || image->height <= 0) return false;
  size_t offset = static_cast<size_t>(in.tellg()) + 1;
  size_t bytes = static_cast<size_t>(image->width) * static_cast<size_t>(image->height) * 3;
  if (data.size() < offset + bytes) return false;
  image->rgb.assign(data.begin() + static_cast<std::ptrdiff_t>(offset),
                    data.begin() + static_cast<std::ptrdiff_t>(offset + bytes));
  return true;
}

bool WineSession::SaveCrop(const std::string& ppm_path, int x, int y, int w, int h,
                           const std::string& png_path) const {
  std::string geometry =
      std::to_string(w) + "x" + std::to_string(h) + "+" + std::to_string(x) + "+" + std::to_string(y);
  return RunCommand({"/usr/bin/convert", ppm_path, "-crop", geometry, "+repage", png_path}, sound_env_,
                    milliseconds(20000))
      .ok();
}

bool WineSession::AnalysePlayback(ToneReport* report, std::string* problem) const {
  std::string data = ReadFile(playback_file_);
  // Wine hands ALSA the mapper's output, 16-bit signed little-endian mono at 8000 samples per second,
  // and the file plugin writes the samples as they are.
  size_t n = data.size() / 2;
  report->total_samples = n;
  auto sample = [&](size_t i) {
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<unsigned char>(data[2 * i])) |
                                static_cast<uint16_t>(static_cast<unsigned char>(data[2 * i + 1]) << 8));
  };
  size_t first = n, last = 0;
  for (size_t i = 0; i < n; ++i) {
    if (std::abs(static_cast<int>(sample(i))) > kLoudThreshold) {
      if (first == n) first = i;
      last = i;
    }
  }
  if (first == n) {
    *problem = "the playback file holds " + std::to_string(n) + " samples and none is loud";
    return false;
  }
  report->loud_samples = last - first + 1;
  std::string loud_path = work_dir_ + "/loud.raw";
  WriteFile(loud_path, data.substr(2 * first, 2 * report->loud_samples));
  CommandResult stat = RunCommand({"/usr/bin/sox", "-t", "raw", "-r", "8000", "-e", "signed", "-b", "16",
                                   "-c", "1", loud_path, "-n", "stat"},
                                  sound_env_, milliseconds(20000));
  report->sox_output = stat.out + stat.err;
  if (!stat.ok()) {
    *problem = "sox failed: " + report->sox_output;
    return false;
  }
  report->rough_hz = NumberAfter(report->sox_output, "Rough   frequency");
  report->rms = NumberAfter(report->sox_output, "RMS     amplitude");
  return true;
}

}  // namespace e2e
