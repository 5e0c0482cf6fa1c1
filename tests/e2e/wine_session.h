// The Wine side of the end-to-end suite, set up once per run: the prefix and HOME folders that
// scripts/wine-env prepares in the build tree, an Xvfb display, a persistent wineserver, and the probe
// (uiprobe.exe) that reads and drives the client's window.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client_build.h"
#include "process.h"

namespace e2e {

enum class Profile { kSound, kNoSound };  // the ALSA set-up the client runs with

struct Rgb {
  int r = 0, g = 0, b = 0;
};

// A screenshot of the whole display (24-bit).
struct Image {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  Rgb At(int x, int y) const;
};

// What sox reports for the loud part of the playback file.
struct ToneReport {
  size_t total_samples = 0;
  size_t loud_samples = 0;  // samples between the first and the last one above the loudness threshold
  double rough_hz = 0;
  double rms = 0;
  std::string sox_output;
};

class WineSession {
 public:
  static WineSession& Get();

  // The client build the session starts; set before SetUp.
  void UseClient(const ClientBuild& build) { client_ = build; }
  const ClientBuild& client_build() const { return client_; }

  // Prepares everything; false with problem() set when the suite cannot run.
  bool SetUp();
  void TearDown();
  const std::string& problem() const { return problem_; }

  const std::string& client_exe() const { return client_.exe; }
  const std::string& probe_exe() const { return probe_exe_; }
  const std::string& work_dir() const { return work_dir_; }
  const std::string& logs_dir() const { return logs_dir_; }
  const std::string& shots_dir() const { return shots_dir_; }
  const std::string& playback_file() const { return playback_file_; }
  const std::string& display() const { return display_; }
  int screen_width() const { return 1024; }
  int screen_height() const { return 768; }
  // The local address the client reports: the last IPv4 address Wine's host-name lookup lists.
  const std::string& local_address() const { return local_address_; }

  Environment Env(Profile profile) const;
  // A Windows tool of the suite (the probe) under the 64-bit loader.
  std::vector<std::string> WineCommand(const std::string& exe, const std::vector<std::string>& args) const;
  // The client under its build's loader.
  std::vector<std::string> ClientCommand(const std::string& exe) const;
  // Runs the probe once. Arguments with non-ASCII bytes are passed in the probe's hex: form.
  CommandResult Probe(const std::vector<std::string>& args, milliseconds limit = milliseconds(20000)) const;
  // Ends every Wine process of the prefix, then starts the persistent wineserver again.
  void RestartWineServer();

  bool Screenshot(Image* image, const std::string& ppm_path) const;
  // Saves the rectangle of a captured screenshot as a PNG.
  bool SaveCrop(const std::string& ppm_path, int x, int y, int w, int h, const std::string& png_path) const;
  bool AnalysePlayback(ToneReport* report, std::string* problem) const;

 private:
  bool Fail(const std::string& why);
  bool StartXvfb();

  std::string problem_;
  ClientBuild client_;
  std::string probe_exe_, source_dir_, work_dir_, logs_dir_, shots_dir_, playback_file_;
  Environment sound_env_, nosound_env_;
  std::string display_;
  LineReader xvfb_;
  std::string local_address_;
  bool set_up_ = false;
};

std::string HexArgument(const std::string& text);
// Splits a status-log text into its lines (CR LF or LF terminated); a trailing empty line is dropped.
std::vector<std::string> SplitLines(const std::string& text);
std::string JoinLines(const std::vector<std::string>& lines);

}  // namespace e2e
