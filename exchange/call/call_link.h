// The client's side of one call as the call logic sees it: its signalling connection and the channel's
// voice socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace exchange {

// An IPv4 endpoint, host byte order.
struct Endpoint {
  uint32_t ip = 0;
  uint16_t port = 0;
  bool operator==(const Endpoint& o) const { return ip == o.ip && port == o.port; }
  bool operator!=(const Endpoint& o) const { return !(*this == o); }
  std::string ToString() const;  // "a.b.c.d:port"
  std::string IpString() const;  // "a.b.c.d"
};

class CallLink {
 public:
  virtual ~CallLink() = default;
  // Writes one tag (or any chunk) on the signalling connection, whole; false when the connection failed.
  virtual bool SendChunk(std::string_view bytes) = 0;
  // Sends one datagram from the channel's voice port.
  virtual bool SendVoice(const Endpoint& to, const uint8_t* data, size_t size) = 0;
  // Closes the signalling connection. The call gets no client events afterwards.
  virtual void CloseConnection() = 0;
};

}  // namespace exchange
