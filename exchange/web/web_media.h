// One browser call's media: its ICE credentials, the DTLS handshake on the shared media port, SRTP both
// ways and the RTP of one PCMA stream. The MediaPort routes this call's packets here once the browser's
// connectivity check names its credentials.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "exchange/web/sdp.h"

struct sa;
struct srtp;
struct tls_conn;
struct mbuf;

namespace exchange {

class MediaPort;

class MediaListener {
 public:
  // DTLS is done and SRTP keyed: audio flows both ways from now on.
  virtual void OnMediaReady() = 0;
  // One RTP packet's PCMA payload, in arrival order.
  virtual void OnMediaAudio(uint16_t sequence, uint32_t timestamp, const uint8_t* alaw, size_t size) = 0;
  // The media cannot work (DTLS failed, the certificate is not the one offered).
  virtual void OnMediaFailed(std::string_view why) = 0;

 protected:
  ~MediaListener() = default;
};

class WebMedia {
 public:
  WebMedia(MediaPort& port, const SdpOffer& offer, MediaListener& listener);
  ~WebMedia();
  WebMedia(const WebMedia&) = delete;
  WebMedia& operator=(const WebMedia&) = delete;

  const std::string& local_ufrag() const { return local_ufrag_; }
  const std::string& local_pwd() const { return local_pwd_; }
  const std::string& remote_ufrag() const { return remote_ufrag_; }
  bool ready() const { return tx_ != nullptr; }
  uint64_t packets_in() const { return packets_in_; }
  uint64_t packets_out() const { return packets_out_; }
  uint64_t packets_rejected() const { return packets_rejected_; }

  // Sends `size` PCMA samples as one RTP packet (nothing before the media is ready).
  bool SendAudio(const uint8_t* alaw, size_t size);

  // From the MediaPort.
  void OnPeerChosen(const struct sa& peer);
  bool AcceptDtls(struct sa const& peer);
  void OnSrtp(struct mbuf* mb);
  const struct sa* peer() const;

 private:
  static void OnDtlsEstablished(void* arg);
  static void OnDtlsReceive(struct mbuf* mb, void* arg);
  static void OnDtlsClosed(int err, void* arg);
  void KeySrtp();
  void Fail(std::string_view why);

  MediaPort& port_;
  MediaListener& listener_;
  std::string local_ufrag_;
  std::string local_pwd_;
  std::string remote_ufrag_;
  std::string remote_fingerprint_;  // "AB:CD:..." upper case
  int payload_type_;
  struct sa* peer_ = nullptr;
  struct tls_conn* dtls_ = nullptr;
  struct srtp* tx_ = nullptr;
  struct srtp* rx_ = nullptr;
  struct mbuf* send_buffer_ = nullptr;
  uint32_t ssrc_;
  uint16_t sequence_;
  uint32_t timestamp_;
  bool marker_ = true;
  bool failed_ = false;
  uint64_t packets_in_ = 0;
  uint64_t packets_out_ = 0;
  uint64_t packets_rejected_ = 0;
};

}  // namespace exchange
