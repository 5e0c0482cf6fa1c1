// One visitor's call from the web page: the WebSocket it came on, its WebRTC media and the same PhoneCall a
// Windows client's connection drives. To the call it is a CallLink like a phone channel's connection: tags
// go to the page as messages, voice blocks go out as RTP, and the page's RTP comes in as the client's
// 128-sample blocks.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "exchange/call/phone_call.h"
#include "exchange/web/block_framer.h"
#include "exchange/web/web_config.h"
#include "exchange/web/web_media.h"

struct websock_conn;

namespace exchange {

class MediaPort;

class WebCall final : public CallLink, public MediaListener {
 public:
  struct Parts {
    const CallEnvironment* env = nullptr;
    const WebConfig* config = nullptr;
    MediaPort* media_port = nullptr;
    std::string media_address;        // the host candidate's address
    std::function<void()> on_closed;  // the exchange closed the page's connection
  };
  WebCall(const Parts& parts, struct websock_conn* socket, const CallContext& context, Answer answer);
  ~WebCall() override;
  WebCall(const WebCall&) = delete;
  WebCall& operator=(const WebCall&) = delete;

  void OnPageMessage(std::string_view text);
  void OnPageClosed(std::string_view reason);
  void Close(std::string_view why);

  bool finished() const { return call_->finished(); }
  bool holds_channel() const { return call_->holds_channel(); }
  uint32_t peer_ip() const { return context_.peer.ip; }

  // CallLink
  bool SendChunk(std::string_view bytes) override;
  bool SendVoice(const Endpoint& to, const uint8_t* data, size_t size) override;
  void CloseConnection() override;

  // MediaListener
  void OnMediaReady() override;
  void OnMediaAudio(uint16_t sequence, uint32_t timestamp, const uint8_t* alaw, size_t size) override;
  void OnMediaFailed(std::string_view why) override;

 private:
  void OnOffer(std::string_view sdp);
  void Refuse(std::string_view why);
  void Note(std::string text) const;

  Parts parts_;
  CallContext context_;
  struct websock_conn* socket_;
  std::unique_ptr<WebMedia> media_;
  std::unique_ptr<PhoneCall> call_;
  BlockFramer framer_;
  std::unique_ptr<Timer> media_deadline_;
  char last_sequence_[16] = {};
  int messages_ = 0;
  bool dialled_ = false;
};

}  // namespace exchange
