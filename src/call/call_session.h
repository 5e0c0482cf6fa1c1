#pragma once
// One call from the press of the phone button to its end: the address query, the signalling connection
// with its busy-channel stepping, dialling, and the teardown. UI thread only.

#include <memory>
#include <string>
#include <string_view>

#include "call/call_state.h"
#include "call/session_sockets.h"
#include "call/signal_link.h"
#include "call/signal_messages.h"
#include "platform/clock.h"
#include "platform/main_window_controls.h"
#include "platform/network.h"
#include "ui/main_window.h"
#include "ui/status_log.h"
#include "voice/audio_devices.h"
#include "voice/recording_source.h"
#include "voice/voice_channel.h"

namespace pelvarine {

constexpr int kDialPauseMs = 200;  // before each of the two dial messages

// Where a call stands; derived from the flags and what is open, never stored.
enum class CallStage { kIdle, kQuerying, kWaiting, kTalking, kStalled, kReleased };

struct SessionParts {
  Network& network;
  Clock& clock;
  StatusLog& log;
  CallState& state;
  VoiceChannel& voice;
  AudioDevices& audio;
  RecordingSource& recording;
  MainWindow& window;
  MainWindowControls& controls;
};

class CallSession final : public SignalLink {
 public:
  CallSession(const SessionParts& parts, std::string address_server_ip);
  ~CallSession() override;

  void ResetCallState();
  void OnPhoneButton();
  void QueryAddressServer();
  void OnAddressReply();
  // Fills the dial string, callee text, ports and channel index; false when the number cannot be dialled.
  bool PrepareDial();
  void ConnectPhoneServer();
  void OnSignalReceive();
  void HandleSignal(std::string_view chunk);
  void TearDownCall();
  // What the window's destruction runs before the window goes: the microphone selected again, the call
  // torn down, and every socket closed.
  void ExitCleanUp();

  bool HasSignalConnection() const override { return phone_socket_ != nullptr; }
  bool SendSignal(std::string_view text) override;

  void SetAudioReady(bool ready) { audio_ready_ = ready; }
  bool audio_ready() const { return audio_ready_; }

  CallStage Stage() const;
  bool torn_down() const { return torn_down_; }
  bool has_address_socket() const { return address_socket_ != nullptr; }
  const std::string& callee_text() const { return callee_text_; }
  const std::string& dial_string() const { return dial_string_; }

 private:
  void OnBusyChannel();
  void Dial();
  void ReleaseAddressSocket();
  // Every socket of the call; the voice socket waits for the audio to stop if it must.
  void ReleaseCallSockets();
  void ReleasePhoneSocket();

  Network& network_;
  Clock& clock_;
  StatusLog& log_;
  CallState& state_;
  VoiceChannel& voice_;
  AudioDevices& audio_;
  RecordingSource& recording_;
  MainWindow& window_;
  MainWindowControls& controls_;
  const std::string address_server_ip_;

  bool audio_ready_ = false;
  bool torn_down_ = false;
  std::string callee_text_;
  std::string dial_string_;
  std::unique_ptr<CAddressSocket> address_socket_;
  std::unique_ptr<CSignalSocket> phone_socket_;
};

}  // namespace pelvarine
