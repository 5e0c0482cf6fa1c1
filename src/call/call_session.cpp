#include "call/call_session.h"

#include <cstring>

namespace pelvarine {

namespace {

void CopyAddressText(char (&field)[kAddressTextSize], std::string_view text) {
  std::memset(field, 0, sizeof field);
  std::memcpy(field, text.data(), std::min(text.size(), sizeof field - 1));
}

}  // namespace

CallSession::CallSession(const SessionParts& parts, std::string address_server_ip)
    : network_(parts.network),
      clock_(parts.clock),
      log_(parts.log),
      state_(parts.state),
      voice_(parts.voice),
      audio_(parts.audio),
      recording_(parts.recording),
      window_(parts.window),
      controls_(parts.controls),
      address_server_ip_(std::move(address_server_ip)) {}

CallSession::~CallSession() = default;

void CallSession::ResetCallState() {
  window_.ShowDialControls();
  address_socket_.reset();
  phone_socket_.reset();
  voice_.ReleaseVoiceSocket();
  state_.off_hook = false;
  log_.SetLineTerminator(kCrLf);
}

void CallSession::OnPhoneButton() {
  if (!audio_ready_) return;
  voice_.RestartMonitor();
  state_.duplicate_send = false;
  voice_.SetTalkingLightPhase(0);
  state_.off_hook = !state_.off_hook;
  dial_string_.clear();
  if (state_.off_hook) {
    voice_.ResetSequenceFilter();
    torn_down_ = false;
    log_.AppendStatusLine("已摘机...");
    QueryAddressServer();
    return;
  }
  // Hanging up also cancels a query still in flight, so a late reply cannot start a call.
  if (!torn_down_) TearDownCall();
  log_.AppendStatusLine("已挂机！");
  voice_.HideTalkingLight();
}

void CallSession::QueryAddressServer() {
  AddressQueryRecord query = BuildAddressQuery();
  address_socket_ = std::make_unique<CAddressSocket>(*this);
  if (!address_socket_->Create(network_)) {
    address_socket_.reset();
    log_.AppendStatusLine("Err001:地址服务器建立连接失败！");
    return;
  }
  if (!address_socket_->socket().Connect(address_server_ip_.c_str(), kAddressServerPort)) {
    address_socket_.reset();
    log_.AppendStatusLine("Err002:地址服务器连接失败！");
    return;
  }
  address_socket_->socket().Send(query.bytes.data(), query.bytes.size());
}

void CallSession::OnAddressReply() {
  if (!address_socket_) return;
  AddressQueryRecord reply;
  address_socket_->socket().Receive(reply.bytes.data(), reply.bytes.size());
  CopyAddressText(state_.phone_server_address, ReadPhoneServerAddress(reply));
  ReleaseAddressSocket();
  if (!PrepareDial()) return;
  ConnectPhoneServer();
}

bool CallSession::PrepareDial() {
  std::optional<std::string> dial;
  if (window_.dial_mode() == DialMode::kDepartment) {
    int row = controls_.SelectedDepartmentRow();
    if (row < 0) row = 0;
    callee_text_ = controls_.DepartmentRowText(row);
    dial = ComposeDialString(DialMode::kDepartment, window_.Extension(row), {}, {});
  } else {
    std::string number = controls_.NumberText();
    callee_text_ = TruncateGbk(number, kDialInputLimit);
    dial = ComposeDialString(DialMode::kDirectNumber, {}, number, controls_.PasswordText());
  }
  state_.channel_index = 0;
  state_.phone_server_tcp_port = kFirstPhoneServerTcpPort;
  state_.remote_udp_port = kFirstRemoteUdpPort;
  if (!dial) {
    log_.AppendStatusLine("号码太长，无法拨出！");
    return false;
  }
  dial_string_ = *dial;
  return true;
}

void CallSession::ConnectPhoneServer() {
  // An empty name would resolve to this machine: no phone server was named, so none is reachable.
  if (state_.phone_server_address[0] == '\0') {
    log_.AppendStatusLine("Err007:电话服务器连接失败！");
    return;
  }
  phone_socket_ = std::make_unique<CSignalSocket>(*this);
  if (!phone_socket_->Create(network_)) {
    phone_socket_.reset();
    log_.AppendStatusLine("Err006:电话服务器建立连接失败！");
    return;
  }
  if (!phone_socket_->socket().Connect(state_.phone_server_address, state_.phone_server_tcp_port)) {
    phone_socket_.reset();
    log_.AppendStatusLine("Err007:电话服务器连接失败！");
    return;
  }
  // Voice goes where the signalling goes, also when the reply named the server by a host name.
  state_.phone_server_ipv4 = phone_socket_->socket().PeerIpv4();
  voice_.OpenVoiceSocket();
}

void CallSession::OnSignalReceive() {
  if (!phone_socket_) return;
  char chunk[kSignalChunkSize] = {};
  int received = phone_socket_->socket().Receive(chunk, sizeof chunk);
  HandleSignal(ChunkFromReceive(chunk, received));
}

void CallSession::HandleSignal(std::string_view chunk) {
  RecognisedSignal signal = RecogniseSignal(chunk);
  switch (signal.tag) {
    case SignalTag::kChanelBusyNow:
      OnBusyChannel();
      break;
    case SignalTag::kChanelWaitBohao:
      Dial();
      break;
    case SignalTag::kRemoteUdpPort:
      // "{RemoteUDPPort}" with nothing usable after it reads as 0: keep the port we have.
      if (signal.port >= 1 && signal.port <= 65535)
        state_.remote_udp_port = static_cast<uint16_t>(signal.port);
      break;
    case SignalTag::kBoHaoNext:
      log_.AppendStatusLine("占线，正在拨下一个号码...");
      break;
    case SignalTag::kZhiLiangCha:
      state_.duplicate_send = true;
      break;
    case SignalTag::kPasswordOrTelphoneNumberFailed:
      log_.AppendStatusLine("您无权拨这个号码！");
      log_.AppendStatusLine("请检查PassWord！");
      break;
    default:
      break;
  }
}

void CallSession::OnBusyChannel() {
  log_.AppendStatusLine("连接未接纳，请求下一通道.");
  log_.AppendStatusLine("请稍候...");
  phone_socket_.reset();
  // The refused channel's voice port is given back before the next channel binds one.
  voice_.ReleaseVoiceSocket();
  int channel = ++state_.channel_index;
  state_.phone_server_tcp_port = static_cast<uint16_t>(kFirstPhoneServerTcpPort + 2 * channel);
  state_.remote_udp_port = static_cast<uint16_t>(kFirstRemoteUdpPort + 2 * channel);
  if (channel < kChannelLimit) {
    ConnectPhoneServer();
  } else {
    log_.AppendStatusLine("被叫方通道忙请稍后再拨");
  }
}

void CallSession::Dial() {
  log_.AppendStatusLine("正在联系");
  log_.AppendStatusLine(callee_text_);
  clock_.Sleep(kDialPauseMs);
  SendSignal(FormatLocalAddressMessage(state_.local_address));
  clock_.Sleep(kDialPauseMs);
  SendSignal(FormatDialMessage(state_.local_address, dial_string_));
  audio_.StartCapture();
  audio_.StartPlayback();
}

bool CallSession::SendSignal(std::string_view text) {
  if (!phone_socket_) return false;
  return phone_socket_->socket().Send(text.data(), text.size());
}

void CallSession::TearDownCall() {
  torn_down_ = true;
  bool was_off_hook = state_.off_hook;
  if (was_off_hook) {
    log_.AppendStatusLine("对方已经挂断电话，请按 挂断 按钮!");
    state_.off_hook = false;
  }
  // Capture stops with the off-hook flag clear, so the blocks handed back meanwhile are neither sent
  // nor queued again, and before the voice socket goes.
  audio_.StopCapture();
  audio_.StopPlayback();
  if (was_off_hook) state_.off_hook = true;
  ReleaseCallSockets();
}

void CallSession::ExitCleanUp() {
  if (audio_ready_) recording_.SelectMicrophoneSource(recording_.remembered_source_name());
  if (state_.off_hook) {
    state_.off_hook = false;
    TearDownCall();
  }
  ReleaseCallSockets();
}

void CallSession::ReleaseCallSockets() {
  ReleasePhoneSocket();
  voice_.ReleaseVoiceSocket();
  ReleaseAddressSocket();
}

void CallSession::ReleaseAddressSocket() {
  if (!address_socket_) return;
  address_socket_->socket().Close();
  address_socket_.reset();
}

void CallSession::ReleasePhoneSocket() {
  if (!phone_socket_) return;
  phone_socket_->socket().Close();
  phone_socket_.reset();
}

CallStage CallSession::Stage() const {
  if (!state_.off_hook) return CallStage::kIdle;
  if (torn_down_) return CallStage::kReleased;
  if (address_socket_) return CallStage::kQuerying;
  if (!phone_socket_) return CallStage::kStalled;
  return audio_.CaptureOpen() || audio_.PlaybackOpen() ? CallStage::kTalking : CallStage::kWaiting;
}

}  // namespace pelvarine
