#include "exchange/web/web_call.h"

#include <cstring>

extern "C" {
#include <re.h>
}

#include "exchange/web/media_port.h"
#include "exchange/web/page_messages.h"

namespace exchange {

namespace {

// From the offer to working SRTP: ICE checks and the DTLS handshake take well under a second on any path
// that can carry a call.
constexpr uint64_t kMediaTimeoutMs = 15000;

}  // namespace

WebCall::WebCall(const Parts& parts, struct websock_conn* socket, const CallContext& context, Answer answer)
    : parts_(parts),
      context_(context),
      socket_(socket),
      framer_([this](long long sequence, const uint8_t* block) {
        // The microphone runs from the moment media is up; the call takes voice once it has dialled.
        if (!dialled_) return;
        std::string datagram =
            BuildClientVoice(sequence, std::string_view(reinterpret_cast<const char*>(block), kVoiceSamples));
        call_->OnVoiceDatagram(context_.peer, datagram);
      }),
      media_deadline_(parts.env->timers->NewTimer()) {
  call_ = std::make_unique<PhoneCall>(*parts_.env, context_, *this, answer);
}

WebCall::~WebCall() {
  media_deadline_.reset();
  call_.reset();  // the call may still close the connection while it goes
  media_.reset();
  if (socket_ != nullptr) {
    mem_deref(socket_);
    socket_ = nullptr;
  }
}

void WebCall::OnPageMessage(std::string_view text) {
  if (call_->finished()) return;
  if (++messages_ > parts_.config->max_messages) {
    Refuse("too many messages from the page");
    return;
  }
  PageMessage message = ReadPageMessage(text);
  switch (message.type) {
    case PageMessage::Type::kOffer:
      OnOffer(message.text);
      return;
    case PageMessage::Type::kDial: {
      // The page dials as the Windows client does: its address (the one the exchange sees), then the dial.
      std::string address = context_.peer.IpString();
      dialled_ = true;
      call_->OnClientBytes(BuildLocalAddressMessage(address) + BuildDialMessage(address, message.text));
      return;
    }
    case PageMessage::Type::kInvalid:
      Refuse("page message: " + message.text);
      return;
  }
}

void WebCall::OnOffer(std::string_view sdp) {
  if (media_ != nullptr || !call_->holds_channel()) return;  // one stream per call; busy lines need none
  std::string error;
  std::optional<SdpOffer> offer = ReadSdpOffer(sdp, &error);
  if (!offer) {
    Refuse("offer: " + error);
    return;
  }
  media_ = std::make_unique<WebMedia>(*parts_.media_port, *offer, *this);
  SdpAnswerParts answer;
  answer.address = parts_.media_address;
  answer.port = parts_.media_port->port();
  answer.ice_ufrag = media_->local_ufrag();
  answer.ice_pwd = media_->local_pwd();
  answer.fingerprint = parts_.media_port->fingerprint();
  answer.session_id = rand_u64() >> 2;
  std::string reply = AnswerMessage(BuildSdpAnswer(*offer, answer));
  websock_send(socket_, WEBSOCK_TEXT, "%b", reply.data(), reply.size());
  media_deadline_->Start(kMediaTimeoutMs,
                         [this] { OnMediaFailed("no ICE or DTLS from the browser in time"); });
}

void WebCall::Refuse(std::string_view why) {
  std::string reply = ErrorMessage(why);
  if (socket_ != nullptr) websock_send(socket_, WEBSOCK_TEXT, "%b", reply.data(), reply.size());
  Note("closed: " + std::string(why));
  call_->Close(why);
}

void WebCall::OnPageClosed(std::string_view reason) {
  call_->OnClientClosed(reason);
}

void WebCall::Close(std::string_view why) {
  call_->Close(why);
}

bool WebCall::SendChunk(std::string_view bytes) {
  if (socket_ == nullptr) return false;
  std::string message = TagMessage(bytes);
  return websock_send(socket_, WEBSOCK_TEXT, "%b", message.data(), message.size()) == 0;
}

bool WebCall::SendVoice(const Endpoint&, const uint8_t* data, size_t size) {
  if (media_ == nullptr || size != kServerVoiceSize) return false;
  // After a quality request the call sends each datagram twice; RTP carries it once.
  const uint8_t* sequence = data + 16;
  if (std::memcmp(sequence, last_sequence_, sizeof last_sequence_) == 0) return true;
  std::memcpy(last_sequence_, sequence, sizeof last_sequence_);
  return media_->SendAudio(data + (kServerVoiceSize - kVoiceSamples), kVoiceSamples);
}

void WebCall::CloseConnection() {
  media_deadline_->Cancel();
  if (socket_ == nullptr) return;
  websock_close(socket_, WEBSOCK_NORMAL_CLOSURE, "%s", "");
  if (parts_.on_closed) parts_.on_closed();
}

void WebCall::OnMediaReady() {
  media_deadline_->Cancel();
  Note("media connected: ICE-lite, DTLS-SRTP, PCMA");
}

void WebCall::OnMediaAudio(uint16_t, uint32_t timestamp, const uint8_t* alaw, size_t size) {
  framer_.Push(timestamp, alaw, size);
}

void WebCall::OnMediaFailed(std::string_view why) {
  Note("media failed: " + std::string(why));
  call_->Close("web media failed");
}

void WebCall::Note(std::string text) const {
  if (parts_.env->observer == nullptr) return;
  ExchangeEvent e;
  e.kind = ExchangeEvent::Kind::WebMedia;
  e.via = CallVia::kWeb;
  e.call = context_.call;
  e.connection = context_.connection;
  e.peer = context_.peer.ToString();
  e.text = std::move(text);
  parts_.env->observer->OnEvent(e);
}

}  // namespace exchange
