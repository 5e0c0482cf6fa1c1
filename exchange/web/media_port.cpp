#include "exchange/web/media_port.h"

#include <cstdio>
#include <cstring>

extern "C" {
#include <re.h>
}

#include "exchange/web/web_media.h"

namespace exchange {

namespace {

constexpr uint32_t kDtlsTableSize = 64;
constexpr int kDtlsLayer = 0;

uint64_t SourceKey(const struct sa& src) {
  return (static_cast<uint64_t>(sa_in(&src)) << 16) | sa_port(&src);
}

bool IsStun(const struct mbuf* mb) {
  return mbuf_get_left(mb) >= 20 && mbuf_buf(mb)[0] < 4;
}

bool IsRtp(const struct mbuf* mb) {
  return mbuf_get_left(mb) >= 12 && mbuf_buf(mb)[0] >= 128 && mbuf_buf(mb)[0] < 192;
}

}  // namespace

MediaPort::MediaPort() = default;

MediaPort::~MediaPort() {
  Stop();
}

bool MediaPort::Start(const std::string& listen_ip, int port, std::string* error) {
  struct sa local;
  if (sa_set_str(&local, listen_ip.c_str(), static_cast<uint16_t>(port)) != 0 || sa_af(&local) != AF_INET) {
    *error = "web media: \"" + listen_ip + "\" is not an IPv4 address";
    return false;
  }
  auto fail = [&](const std::string& what, int err) {
    *error = "web media: " + what + ": " + std::strerror(err);
    Stop();
    return false;
  };
  if (int err = udp_listen(&udp_, &local, &MediaPort::OnPacket, this))
    return fail("cannot bind UDP port " + std::to_string(port), err);
  udp_sockbuf_set(udp_, 1 << 20);
  struct sa bound;
  udp_local_get(udp_, &bound);
  port_ = sa_port(&bound);
  if (int err = tls_alloc(&tls_, TLS_METHOD_DTLS, nullptr, nullptr)) return fail("DTLS context", err);
  if (int err = tls_set_selfsigned_rsa(tls_, "pelvarine-exchange", 2048))
    return fail("DTLS certificate", err);
  // The browser's certificate is asked for: its fingerprint must be the one its offer named.
  tls_set_verify_client(tls_);
  if (int err = tls_set_srtp(tls_, "SRTP_AES128_CM_SHA1_80:SRTP_AES128_CM_SHA1_32"))
    return fail("DTLS-SRTP profiles", err);
  uint8_t md[32];
  if (int err = tls_fingerprint(tls_, TLS_FINGERPRINT_SHA256, md, sizeof md))
    return fail("certificate fingerprint", err);
  fingerprint_.clear();
  for (size_t i = 0; i < sizeof md; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : ":%02X", md[i]);
    fingerprint_ += hex;
  }
  if (int err =
          dtls_listen(&dtls_, nullptr, udp_, kDtlsTableSize, kDtlsLayer, &MediaPort::OnDtlsConnect, this))
    return fail("DTLS listener", err);
  return true;
}

void MediaPort::Stop() {
  dtls_ = static_cast<struct dtls_sock*>(mem_deref(dtls_));
  udp_ = static_cast<struct udp_sock*>(mem_deref(udp_));
  tls_ = static_cast<struct tls*>(mem_deref(tls_));
}

void MediaPort::Add(WebMedia* media) {
  by_ufrag_[media->local_ufrag()] = media;
}

void MediaPort::Remove(WebMedia* media) {
  by_ufrag_.erase(media->local_ufrag());
  for (auto it = by_source_.begin(); it != by_source_.end();) {
    if (it->second == media)
      it = by_source_.erase(it);
    else
      ++it;
  }
}

bool MediaPort::Send(const struct sa& to, struct mbuf* mb) {
  return udp_ != nullptr && udp_send(udp_, &to, mb) == 0;
}

void MediaPort::Route(const struct sa& from, WebMedia* media) {
  by_source_[SourceKey(from)] = media;
}

WebMedia* MediaPort::BySource(const struct sa& src) const {
  if (sa_af(&src) != AF_INET) return nullptr;
  auto it = by_source_.find(SourceKey(src));
  return it == by_source_.end() ? nullptr : it->second;
}

void MediaPort::OnPacket(const struct sa* src, struct mbuf* mb, void* arg) {
  auto* self = static_cast<MediaPort*>(arg);
  if (IsStun(mb)) {
    self->OnStun(*src, mb);
  } else if (IsRtp(mb)) {
    if (WebMedia* media = self->BySource(*src)) media->OnSrtp(mb);
  }
}

// An ICE-lite agent only answers checks: a check that names a call's credentials and carries its password's
// integrity is answered with the address it came from, and routes that address's packets to the call.
void MediaPort::OnStun(const struct sa& src, struct mbuf* mb) {
  struct stun_msg* msg = nullptr;
  if (stun_msg_decode(&msg, mb, nullptr) != 0) return;
  do {
    if (stun_msg_method(msg) != STUN_METHOD_BINDING || stun_msg_class(msg) != STUN_CLASS_REQUEST) break;
    struct stun_attr* user = stun_msg_attr(msg, STUN_ATTR_USERNAME);
    if (user == nullptr || user->v.username == nullptr) break;
    std::string username(user->v.username);
    auto it = by_ufrag_.find(username.substr(0, username.find(':')));
    if (it == by_ufrag_.end()) break;
    WebMedia* media = it->second;
    if (username.substr(username.find(':') + 1) != media->remote_ufrag()) break;
    const std::string& pwd = media->local_pwd();
    const auto* key = reinterpret_cast<const uint8_t*>(pwd.data());
    if (stun_msg_chk_mi(msg, key, pwd.size()) != 0) {
      stun_ereply(IPPROTO_UDP, udp_, &src, 0, msg, 401, "Unauthorized", nullptr, 0, true, 0);
      break;
    }
    stun_reply(IPPROTO_UDP, udp_, &src, 0, msg, key, pwd.size(), true, 1, STUN_ATTR_XOR_MAPPED_ADDR, &src);
    if (sa_af(&src) == AF_INET && BySource(src) != media) {
      Route(src, media);
      media->OnPeerChosen(src);
    } else if (stun_msg_attr(msg, STUN_ATTR_USE_CAND) != nullptr) {
      media->OnPeerChosen(src);
    }
  } while (false);
  mem_deref(msg);
}

void MediaPort::OnDtlsConnect(const struct sa* peer, void* arg) {
  auto* self = static_cast<MediaPort*>(arg);
  if (WebMedia* media = self->BySource(*peer)) media->AcceptDtls(*peer);
}

}  // namespace exchange
