#pragma once
// Creates the sockets of a call (UI thread only).

#include <cstdint>
#include <memory>

#include "platform/datagram_socket.h"
#include "platform/stream_socket.h"

namespace pelvarine {

class Network {
 public:
  virtual ~Network() = default;
  // A TCP socket on any local port with read and close notifications going to `events`, which must
  // outlive the socket. Null when the platform cannot create one.
  virtual std::unique_ptr<StreamSocket> CreateStreamSocket(StreamSocketEvents& events) = 0;
  // A UDP socket bound to `port` on every local address, read notifications going to `events`, which
  // must outlive the socket. Null when the port cannot be bound (as a rule because it is taken).
  virtual std::unique_ptr<DatagramSocket> CreateDatagramSocket(uint16_t port,
                                                               DatagramSocketEvents& events) = 0;
};

}  // namespace pelvarine
