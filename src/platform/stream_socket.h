#pragma once
// A TCP connection as the call session sees it. All calls and notifications happen on the UI thread.

#include <cstddef>
#include <cstdint>

namespace pelvarine {

// Receives the notifications of one stream socket, on the UI thread. A handler may destroy the socket
// (and the object that owns it); the socket layer touches neither after the handler returns.
class StreamSocketEvents {
 public:
  virtual ~StreamSocketEvents() = default;
  virtual void OnReceive() = 0;  // data (or an error) is waiting: answer with one Receive
  virtual void OnClose() = 0;    // the peer closed the connection
};

class StreamSocket {
 public:
  // Destruction closes the connection; notifications still queued for it are dropped.
  virtual ~StreamSocket() = default;
  // Blocks until the connection stands (true) or the platform gives up (false). Only repainting goes on
  // meanwhile. `address` is IPv4 dotted text or a host name, NUL-terminated.
  virtual bool Connect(const char* address, uint16_t port) = 0;
  // Blocks until all `size` bytes are handed to the connection (true) or the connection fails (false).
  virtual bool Send(const void* data, size_t size) = 0;
  // One receive of what is there now, at most `size` bytes. Returns the count, 0 when the peer closed,
  // negative on failure (including nothing to read).
  virtual int Receive(void* buffer, size_t size) = 0;
  // IPv4 (host byte order) of the connected peer; 0 when not connected.
  virtual uint32_t PeerIpv4() = 0;
  // Closes the connection; later calls fail. Idempotent.
  virtual void Close() = 0;
};

}  // namespace pelvarine
