#pragma once
// A UDP socket bound at creation. Receive and notifications run on the UI thread; SendTo may also be
// called from the audio capture thread while the UI thread receives.

#include <cstddef>
#include <cstdint>

namespace pelvarine {

class DatagramSocketEvents {
 public:
  virtual ~DatagramSocketEvents() = default;
  // A datagram is waiting (UI thread). The handler may destroy the socket.
  virtual void OnReceive() = 0;
};

class DatagramSocket {
 public:
  // Destruction closes the socket; notifications still queued for it are dropped.
  virtual ~DatagramSocket() = default;
  // Reads one datagram of at most `size` bytes. Returns its length, or negative on failure (nothing
  // waiting, or a datagram longer than `size`, which is then discarded).
  virtual int Receive(void* buffer, size_t size) = 0;
  // Sends one datagram to `ipv4` (host byte order, 0x7F000001 is 127.0.0.1) at `port`. Never blocks the
  // caller for long and never allocates; the result is whether the platform accepted it. Thread-safe.
  virtual bool SendTo(const void* data, size_t size, uint32_t ipv4, uint16_t port) = 0;
};

}  // namespace pelvarine
