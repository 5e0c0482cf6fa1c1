#include "exchange/web/web_media.h"

#include <cctype>
#include <cstdio>
#include <cstring>

extern "C" {
#include <re.h>
}

#include "exchange/web/media_port.h"

namespace exchange {

namespace {

constexpr size_t kUfragChars = 8;
constexpr size_t kPwdChars = 24;

std::string RandomText(size_t chars) {
  std::string text(chars + 1, '\0');
  rand_str(text.data(), text.size());
  text.resize(chars);
  return text;
}

std::string UpperHex(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// Bytes of master key and salt of each suite.
size_t KeyAndSaltBytes(enum srtp_suite suite) {
  switch (suite) {
    case SRTP_AES_CM_128_HMAC_SHA1_32:
    case SRTP_AES_CM_128_HMAC_SHA1_80:
      return 30;
    case SRTP_AES_256_CM_HMAC_SHA1_32:
    case SRTP_AES_256_CM_HMAC_SHA1_80:
      return 46;
    case SRTP_AES_128_GCM:
      return 28;
    case SRTP_AES_256_GCM:
      return 44;
  }
  return 0;
}

bool IsRtcp(const struct mbuf* mb) {
  uint8_t pt = mbuf_buf(mb)[1] & 0x7f;
  return pt >= 64 && pt <= 95;  // RTCP's types 192-223 with the marker bit folded in
}

}  // namespace

WebMedia::WebMedia(MediaPort& port, const SdpOffer& offer, MediaListener& listener)
    : port_(port),
      listener_(listener),
      local_ufrag_(RandomText(kUfragChars)),
      local_pwd_(RandomText(kPwdChars)),
      remote_ufrag_(offer.ice_ufrag),
      remote_fingerprint_(UpperHex(offer.fingerprint.substr(offer.fingerprint.find(' ') + 1))),
      payload_type_(offer.pcma_payload),
      send_buffer_(mbuf_alloc(256)),
      ssrc_(rand_u32()),
      sequence_(static_cast<uint16_t>(rand_u32())),
      timestamp_(rand_u32()) {
  peer_ = static_cast<struct sa*>(mem_zalloc(sizeof(struct sa), nullptr));
  port_.Add(this);
}

WebMedia::~WebMedia() {
  port_.Remove(this);
  if (dtls_ != nullptr) dtls_set_handlers(dtls_, nullptr, nullptr, nullptr, nullptr);
  mem_deref(dtls_);
  mem_deref(tx_);
  mem_deref(rx_);
  mem_deref(send_buffer_);
  mem_deref(peer_);
}

const struct sa* WebMedia::peer() const {
  return sa_isset(peer_, SA_ALL) ? peer_ : nullptr;
}

void WebMedia::OnPeerChosen(const struct sa& peer) {
  sa_cpy(peer_, &peer);
  if (dtls_ != nullptr) dtls_set_peer(dtls_, &peer);
}

bool WebMedia::AcceptDtls(const struct sa& peer) {
  if (dtls_ != nullptr || failed_) return false;
  (void)peer;
  int err = dtls_accept(&dtls_, port_.tls(), port_.dtls(), &WebMedia::OnDtlsEstablished,
                        &WebMedia::OnDtlsReceive, &WebMedia::OnDtlsClosed, this);
  return err == 0;
}

void WebMedia::OnDtlsEstablished(void* arg) {
  auto* self = static_cast<WebMedia*>(arg);
  uint8_t md[32];
  if (tls_peer_fingerprint(self->dtls_, TLS_FINGERPRINT_SHA256, md, sizeof md) != 0) {
    self->Fail("the browser's DTLS certificate cannot be read");
    return;
  }
  std::string seen;
  for (size_t i = 0; i < sizeof md; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : ":%02X", md[i]);
    seen += hex;
  }
  if (seen != self->remote_fingerprint_) {
    self->Fail("the browser's DTLS certificate is not the one its offer named");
    return;
  }
  self->KeySrtp();
}

void WebMedia::KeySrtp() {
  enum srtp_suite suite;
  uint8_t client_key[64];
  uint8_t server_key[64];
  if (tls_srtp_keyinfo(dtls_, &suite, client_key, sizeof client_key, server_key, sizeof server_key) != 0) {
    Fail("no SRTP keys from the DTLS handshake");
    return;
  }
  size_t bytes = KeyAndSaltBytes(suite);
  // The exchange is the DTLS server: it sends with the server's key and receives with the client's.
  if (srtp_alloc(&tx_, suite, server_key, bytes, 0) != 0 ||
      srtp_alloc(&rx_, suite, client_key, bytes, 0) != 0) {
    tx_ = static_cast<struct srtp*>(mem_deref(tx_));
    Fail("SRTP cannot be keyed");
    return;
  }
  listener_.OnMediaReady();
}

void WebMedia::OnDtlsReceive(struct mbuf*, void*) {
  // No data channel: application data on DTLS is ignored.
}

void WebMedia::OnDtlsClosed(int err, void* arg) {
  auto* self = static_cast<WebMedia*>(arg);
  if (!self->ready())
    self->Fail(std::string("DTLS handshake failed: ") + (err != 0 ? std::strerror(err) : "closed"));
}

void WebMedia::Fail(std::string_view why) {
  if (failed_) return;
  failed_ = true;
  listener_.OnMediaFailed(why);
}

void WebMedia::OnSrtp(struct mbuf* mb) {
  if (rx_ == nullptr) {
    ++packets_rejected_;
    return;
  }
  if (IsRtcp(mb)) {
    // Receiver reports only feed the browser's own statistics: checked, then dropped.
    if (srtcp_decrypt(rx_, mb) != 0) ++packets_rejected_;
    return;
  }
  struct rtp_header header;
  size_t start = mb->pos;
  if (srtp_decrypt(rx_, mb) != 0) {
    ++packets_rejected_;
    return;
  }
  mb->pos = start;
  if (rtp_hdr_decode(&header, mb) != 0 || header.pt != payload_type_) {
    ++packets_rejected_;
    return;
  }
  size_t size = mbuf_get_left(mb);
  if (header.pad && size > 0) {
    size_t pad = mbuf_buf(mb)[size - 1];
    size = pad <= size ? size - pad : 0;
  }
  ++packets_in_;
  listener_.OnMediaAudio(header.seq, header.ts, mbuf_buf(mb), size);
}

bool WebMedia::SendAudio(const uint8_t* alaw, size_t size) {
  const struct sa* to = peer();
  if (tx_ == nullptr || to == nullptr) return false;
  struct rtp_header header = {};
  header.ver = RTP_VERSION;
  header.m = marker_;
  header.pt = static_cast<uint8_t>(payload_type_);
  header.seq = sequence_++;
  header.ts = timestamp_;
  header.ssrc = ssrc_;
  timestamp_ += static_cast<uint32_t>(size);
  marker_ = false;
  mbuf_rewind(send_buffer_);
  if (rtp_hdr_encode(send_buffer_, &header) != 0 || mbuf_write_mem(send_buffer_, alaw, size) != 0)
    return false;
  send_buffer_->pos = 0;
  if (srtp_encrypt(tx_, send_buffer_) != 0) return false;
  send_buffer_->pos = 0;
  bool ok = port_.Send(*to, send_buffer_);
  if (ok) ++packets_out_;
  return ok;
}

}  // namespace exchange
