#pragma once
// Everything the main window forwards to: the call, the voice path, the start-up checks and the window's
// own decisions, wired to the platform through the ports.

#include <string>

#include "app/readiness.h"
#include "call/call_session.h"
#include "call/call_state.h"
#include "platform/clock.h"
#include "platform/main_window_controls.h"
#include "platform/mixer.h"
#include "platform/network.h"
#include "platform/system.h"
#include "platform/text_panel.h"
#include "platform/wave_devices.h"
#include "ui/main_window.h"
#include "ui/status_log.h"
#include "voice/audio_devices.h"
#include "voice/recording_source.h"
#include "voice/voice_channel.h"

namespace pelvarine {

constexpr int kPhoneButtonCommand = 104;
constexpr int kExitButtonCommand = 101;
constexpr int kHomePageButtonCommand = 102;
constexpr int kMinimiseButtonCommand = 103;

struct Ports {
  Network& network;
  WaveDevices& wave;
  Mixer& mixer;
  Clock& clock;
  System& system;
  TextPanel& status_panel;
  MainWindowControls& controls;
};

struct ClientConfig {
  std::string address_server_ip;
  std::string home_page_host;
};

class CallClient {
 public:
  CallClient(const Ports& ports, ClientConfig config);
  ~CallClient();
  CallClient(const CallClient&) = delete;
  CallClient& operator=(const CallClient&) = delete;

  // The core's share of the dialog's initialisation, after its skin and controls exist.
  void OnInitDialog();
  void OnPhoneButton() { session_.OnPhoneButton(); }
  void OnHomePageButton();
  void OnTimer(int id) {
    window_.OnTimer(id);
    // The capture thread leaves its device failures for the UI thread to report.
    audio_.ReportCaptureFailure();
  }
  void OnRightButtonUp() { window_.OnRightButtonUp(); }
  // Runs once, however the window comes to be destroyed.
  void OnDestroyWindow();

  StatusLog& log() { return log_; }
  CallState& state() { return state_; }
  CallSession& session() { return session_; }
  VoiceChannel& voice() { return voice_; }
  AudioDevices& audio() { return audio_; }
  RecordingSource& recording() { return recording_; }
  MainWindow& window() { return window_; }
  ReadinessChecks& readiness() { return readiness_; }

 private:
  Ports ports_;
  ClientConfig config_;
  StatusLog log_;
  CallState state_;
  RecordingSource recording_;
  MainWindow window_;
  // The audio devices, the voice channel and the session call each other; members are bound by reference
  // before they are all constructed and used only afterwards.
  AudioDevices audio_;
  VoiceChannel voice_;
  CallSession session_;
  ReadinessChecks readiness_;
  bool destroyed_ = false;
};

}  // namespace pelvarine
