#pragma once
// Sockets that record what the core does and let a test deliver data, closes and failures.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/network.h"

namespace pelvarine::testing {

// What one stream socket saw; outlives the socket so a test can look after the core released it.
struct StreamRecord {
  StreamSocketEvents* events = nullptr;  // null once the socket is destroyed
  std::string address;
  uint16_t port = 0;
  bool connected = false;
  bool closed = false;     // Close was called
  bool destroyed = false;  // the core released the object
  std::vector<std::string> sends;
  std::deque<std::string> incoming;  // one entry per receive
  bool fail_receive = false;
};

struct Datagram {
  std::string bytes;
  uint32_t ipv4 = 0;
  uint16_t port = 0;
};

struct DatagramRecord {
  DatagramSocketEvents* events = nullptr;
  uint16_t port = 0;
  bool destroyed = false;
  std::deque<std::string> incoming;
  int fail_next_receives = 0;
  mutable std::mutex sent_mutex;  // the capture thread sends
  std::condition_variable sent_changed;
  std::vector<Datagram> sent;
  std::function<void()> on_destroy;  // runs when the core releases the socket, before `destroyed` is set

  std::vector<Datagram> Sent() const {
    std::lock_guard<std::mutex> lock(sent_mutex);
    return sent;
  }
  // Waits (a few seconds at most) until `done` holds for what has been sent; false when it never does.
  bool WaitUntilSent(const std::function<bool(const std::vector<Datagram>&)>& done) {
    std::unique_lock<std::mutex> lock(sent_mutex);
    return sent_changed.wait_for(lock, std::chrono::seconds(10), [&] { return done(sent); });
  }
};

class FakeNetwork final : public Network {
 public:
  std::unique_ptr<StreamSocket> CreateStreamSocket(StreamSocketEvents& events) override;
  std::unique_ptr<DatagramSocket> CreateDatagramSocket(uint16_t port, DatagramSocketEvents& events) override;

  // Failure injection.
  int fail_stream_creates = 0;                         // the next n creations fail
  std::set<std::pair<std::string, uint16_t>> refused;  // connects that fail
  std::set<uint16_t> taken_udp_ports;                  // binds that fail
  uint32_t peer_ipv4 = 0x7F000001;

  // All sockets in creation order.
  std::vector<std::shared_ptr<StreamRecord>> streams;
  std::vector<std::shared_ptr<DatagramRecord>> datagrams;

  // Test side: the peer sends a chunk, which the socket then reports readable.
  void Deliver(StreamRecord& record, std::string chunk);
  void PeerClose(StreamRecord& record);
  void DeliverDatagram(DatagramRecord& record, std::string bytes);

  StreamRecord* LastStream() { return streams.empty() ? nullptr : streams.back().get(); }
  DatagramRecord* LastDatagram() { return datagrams.empty() ? nullptr : datagrams.back().get(); }
  int OpenStreamCount() const;
  int OpenDatagramCount() const;
};

}  // namespace pelvarine::testing
