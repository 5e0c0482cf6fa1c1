// The one UDP port every browser call's media shares: it answers the browsers' ICE connectivity checks as
// an ICE-lite agent, lets libre's DTLS take the handshakes and hands each SRTP packet to the call whose
// checks came from its source. One port, so a venue behind NAT forwards a single UDP port.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

struct udp_sock;
struct dtls_sock;
struct tls;
struct sa;
struct mbuf;

namespace exchange {

class WebMedia;

class MediaPort {
 public:
  MediaPort();
  ~MediaPort();
  MediaPort(const MediaPort&) = delete;
  MediaPort& operator=(const MediaPort&) = delete;

  // Binds `listen_ip`:`port` (0: any free port) and makes the DTLS certificate.
  bool Start(const std::string& listen_ip, int port, std::string* error);
  void Stop();

  int port() const { return port_; }
  const std::string& fingerprint() const { return fingerprint_; }  // SHA-256, "AB:CD:..."

  void Add(WebMedia* media);
  void Remove(WebMedia* media);

  // For the sessions.
  struct tls* tls() const {
    return tls_;
  }
  struct dtls_sock* dtls() const {
    return dtls_;
  }
  bool Send(const struct sa& to, struct mbuf* mb);
  void Route(const struct sa& from, WebMedia* media);

 private:
  static void OnPacket(const struct sa* src, struct mbuf* mb, void* arg);
  static void OnDtlsConnect(const struct sa* peer, void* arg);
  void OnStun(const struct sa& src, struct mbuf* mb);
  WebMedia* BySource(const struct sa& src) const;

  struct udp_sock* udp_ = nullptr;
  struct dtls_sock* dtls_ = nullptr;
  struct tls* tls_ = nullptr;
  int port_ = 0;
  std::string fingerprint_;
  std::unordered_map<std::string, WebMedia*> by_ufrag_;
  std::unordered_map<uint64_t, WebMedia*> by_source_;
};

}  // namespace exchange
