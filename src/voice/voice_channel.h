#pragma once
// The voice datagram channel: the local UDP socket of a call, the numbering and framing of outgoing
// blocks, the address and sequence filters on received datagrams, the arrival monitor and the talking
// light.

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "call/call_state.h"
#include "call/signal_link.h"
#include "call/signal_messages.h"
#include "platform/clock.h"
#include "platform/main_window_controls.h"
#include "platform/network.h"
#include "ui/status_log.h"
#include "voice/arrival_monitor.h"
#include "voice/audio_devices.h"
#include "voice/voice_datagram.h"

namespace pelvarine {

constexpr uint16_t kFirstLocalVoicePort = 20001;
constexpr int kVoicePortAttempts = 5;  // ports 20001-20005, one second's wait after each failure
constexpr int kVoicePortRetryWaitMs = 1000;

class VoiceChannel;

// The UDP socket of a call; forwards its read notification to the channel.
class CVoiceSocket final : public DatagramSocketEvents {
 public:
  explicit CVoiceSocket(VoiceChannel& owner) : owner_(owner) {}
  bool Create(Network& network, uint16_t port);
  DatagramSocket& socket() { return *socket_; }
  uint16_t port() const { return port_; }
  void OnReceive() override;

 private:
  VoiceChannel& owner_;
  std::unique_ptr<DatagramSocket> socket_;
  uint16_t port_ = 0;
};

class VoiceChannel final : public VoiceBlockSender {
 public:
  VoiceChannel(Network& network, Clock& clock, StatusLog& log, CallState& state, AudioDevices& audio,
               SignalLink& signal, MainWindowControls& window);
  ~VoiceChannel() override;

  // Binds the first free local port from 20001 on; gives up after a few ports with "Err005". UI thread.
  bool OpenVoiceSocket();
  // Reads and handles one datagram from `socket`. UI thread.
  void OnVoiceReceive(CVoiceSocket& socket);
  // Numbers, frames and sends one captured block (twice in duplicate-send mode). Capture thread.
  void SendVoiceBlock(const uint8_t* block) override;

  // Releases the current socket. While capture may still send on it, it is kept (retired) until a
  // release finds the audio stopped, which frees every retired socket.
  void ReleaseVoiceSocket();
  void ReleaseRetiredSockets();
  bool HasVoiceSocket() const { return voice_socket_ != nullptr; }
  const CVoiceSocket* voice_socket() const { return voice_socket_.get(); }
  size_t retired_socket_count() const { return retired_.size(); }

  // What a press of the phone button resets.
  void RestartMonitor();  // quality-report flag clear, first datagram starts the monitor
  void ResetSequenceFilter() { last_accepted_sequence_ = -1; }
  void SetTalkingLightPhase(int phase) { talking_light_phase_ = phase; }
  void HideTalkingLight();

  bool quality_reported() const { return quality_reported_; }
  int talking_light_phase() const { return talking_light_phase_; }
  int32_t last_accepted_sequence() const { return last_accepted_sequence_; }
  const ArrivalMonitor& monitor() const { return monitor_; }

 private:
  Network& network_;
  Clock& clock_;
  StatusLog& log_;
  CallState& state_;
  AudioDevices& audio_;
  SignalLink& signal_;
  MainWindowControls& window_;

  std::unique_ptr<CVoiceSocket> voice_socket_;
  std::vector<std::unique_ptr<CVoiceSocket>> retired_;
  std::atomic<DatagramSocket*> send_socket_{nullptr};  // what the capture thread sends on

  // Receive state (UI thread).
  ArrivalMonitor monitor_;
  bool quality_reported_ = false;
  int talking_light_phase_ = 0;
  int32_t last_accepted_sequence_ = -1;
  uint8_t incoming_[kIncomingDatagramSize] = {};

  // Capture thread only.
  uint8_t outgoing_[kOutgoingDatagramSize] = {};
};

}  // namespace pelvarine
