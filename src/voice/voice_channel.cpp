#include "voice/voice_channel.h"

#include <cstring>

namespace pelvarine {

bool CVoiceSocket::Create(Network& network, uint16_t port) {
  socket_ = network.CreateDatagramSocket(port, *this);
  port_ = port;
  return socket_ != nullptr;
}

void CVoiceSocket::OnReceive() {
  owner_.OnVoiceReceive(*this);
}

VoiceChannel::VoiceChannel(Network& network, Clock& clock, StatusLog& log, CallState& state,
                           AudioDevices& audio, SignalLink& signal, MainWindowControls& window)
    : network_(network),
      clock_(clock),
      log_(log),
      state_(state),
      audio_(audio),
      signal_(signal),
      window_(window) {}

VoiceChannel::~VoiceChannel() = default;

bool VoiceChannel::OpenVoiceSocket() {
  for (int attempt = 0; attempt < kVoicePortAttempts; ++attempt) {
    auto socket = std::make_unique<CVoiceSocket>(*this);
    if (socket->Create(network_, static_cast<uint16_t>(kFirstLocalVoicePort + attempt))) {
      voice_socket_ = std::move(socket);
      send_socket_.store(&voice_socket_->socket(), std::memory_order_release);
      return true;
    }
    log_.AppendStatusLine("建立下一端口...");
    clock_.Sleep(kVoicePortRetryWaitMs);
  }
  log_.AppendStatusLine("Err005:语音端口建立失败！");
  return false;
}

void VoiceChannel::OnVoiceReceive(CVoiceSocket& socket) {
  std::memset(incoming_, 0, sizeof incoming_);
  if (socket.socket().Receive(incoming_, sizeof incoming_) < 0) return;

  if (state_.off_hook.load()) {
    talking_light_phase_ = talking_light_phase_ == 0 ? 1 : 0;
    window_.ShowTalkingLight(talking_light_phase_ == 1);
  } else {
    window_.ShowTalkingLight(false);
  }

  if (!PassesAddressFilter(incoming_, state_.local_address)) return;

  if (monitor_.OnArrival(clock_.MonotonicMs()) && !quality_reported_ && signal_.HasSignalConnection()) {
    signal_.SendSignal(kQualityRequest);
    quality_reported_ = true;
    log_.AppendStatusLine("已经调整语音质量!");
  }

  int32_t sequence = ReadSequenceNumber(incoming_);
  if (sequence > last_accepted_sequence_) {
    audio_.PlayVoiceBlock(incoming_ + kIncomingBlockOffset);
    last_accepted_sequence_ = sequence;
  }
}

void VoiceChannel::SendVoiceBlock(const uint8_t* block) {
  // Wraps rather than overflows after 2^31 blocks (about a year of talking).
  int32_t sequence = static_cast<int32_t>(
      static_cast<uint32_t>(state_.send_sequence.fetch_add(1, std::memory_order_relaxed)) + 1u);
  FrameVoiceDatagram(sequence, block, outgoing_);
  DatagramSocket* socket = send_socket_.load(std::memory_order_acquire);
  if (socket == nullptr) return;
  uint32_t host = state_.phone_server_ipv4.load(std::memory_order_relaxed);
  uint16_t port = state_.remote_udp_port.load(std::memory_order_relaxed);
  socket->SendTo(outgoing_, sizeof outgoing_, host, port);
  if (state_.duplicate_send.load(std::memory_order_relaxed))
    socket->SendTo(outgoing_, sizeof outgoing_, host, port);
}

void VoiceChannel::ReleaseVoiceSocket() {
  if (voice_socket_) {
    send_socket_.store(nullptr, std::memory_order_release);
    if (audio_.CaptureOpen()) {
      retired_.push_back(std::move(voice_socket_));
    } else {
      voice_socket_.reset();
    }
  }
  ReleaseRetiredSockets();
}

void VoiceChannel::ReleaseRetiredSockets() {
  if (!audio_.CaptureOpen()) retired_.clear();
}

void VoiceChannel::RestartMonitor() {
  quality_reported_ = false;
  monitor_.Restart();
}

void VoiceChannel::HideTalkingLight() {
  talking_light_phase_ = 0;
  window_.ShowTalkingLight(false);
}

}  // namespace pelvarine
