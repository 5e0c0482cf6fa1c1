#pragma once
// The checks run once at start-up before the first call: sound card and microphone, the local address and
// the Internet connection, each outcome reported in the status log.

#include <string>

#include "call/call_session.h"
#include "call/call_state.h"
#include "platform/main_window_controls.h"
#include "platform/system.h"
#include "platform/wave_devices.h"
#include "ui/main_window.h"
#include "ui/status_log.h"
#include "voice/audio_devices.h"
#include "voice/recording_source.h"

namespace pelvarine {

constexpr int kMicrophoneVolumeMultiplier = 10;
constexpr uint32_t kConnectionModem = 0x1;
constexpr uint32_t kConnectionLan = 0x2;
constexpr uint32_t kConnectionProxy = 0x4;

struct ReadinessParts {
  System& system;
  WaveDevices& wave;
  StatusLog& log;
  CallState& state;
  CallSession& session;
  AudioDevices& audio;
  RecordingSource& recording;
  MainWindow& window;
  MainWindowControls& controls;
};

class ReadinessChecks {
 public:
  explicit ReadinessChecks(const ReadinessParts& parts) : p_(parts) {}

  void RunReadinessChecks();
  // True when there is a wave output device; the microphone steps report their own failures.
  bool CheckAudioReady();
  // The last IPv4 address the host name resolves to; left empty when there is none.
  void FindLocalAddress();
  // The platform's connected result; `kind` gets the status line naming the connection.
  bool GetConnectionKind(std::string* kind);

 private:
  ReadinessParts p_;
};

}  // namespace pelvarine
