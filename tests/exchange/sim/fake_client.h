// A fake voice-call client built on plain POSIX sockets, for driving the simulator in tests.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "exchange_sim.h"

namespace exsim_test {

// Starts a simulator on free ports: the address server on an ephemeral port and the phone channels at
// a random base outside the default ports and the ephemeral range. Retries when a port is taken.
// Sets udp_port_override (when `want_udp_override`) to a random free-looking port too.
std::unique_ptr<exsim::Simulator> StartSimulator(exsim::Options options, bool want_udp_override = false);

// A random even base port suitable for phone_base_port.
int RandomBasePort();

class TcpClient {
 public:
  TcpClient() = default;
  ~TcpClient() { Close(); }
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  bool Connect(int port);
  bool Send(std::string_view data);
  // One recv() within the timeout. nullopt on timeout, "" when the peer closed (or reset).
  std::optional<std::string> ReceiveChunk(int timeout_ms);
  // Accumulates bytes until `size` have arrived, the peer closes or the timeout passes.
  std::string ReceiveBytes(size_t size, int timeout_ms);
  // Reads until the peer closes; true if it closed within the timeout. Data read goes to *data.
  bool WaitClosed(int timeout_ms, std::string* data = nullptr);
  void ShutdownWrite();
  void Close();
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

class UdpClient {
 public:
  UdpClient() = default;
  ~UdpClient();
  UdpClient(const UdpClient&) = delete;
  UdpClient& operator=(const UdpClient&) = delete;

  bool Bind(int port = 0);  // 0 = ephemeral
  int port() const { return port_; }
  bool SendTo(int port, std::string_view data);
  // One datagram within the timeout (nullopt on timeout).
  std::optional<std::string> Receive(int timeout_ms);

 private:
  int fd_ = -1;
  int port_ = 0;
};

// Sends `query` to the address server and returns the reply (452 bytes), or what came back before the server
// closed (nullopt if neither happened within the timeout).
std::optional<std::string> AddressExchange(int port, std::string_view query, int timeout_ms = 2000);

// Runs the address query and connects to channel `channel` of the phone server.
bool ConnectPhone(const exsim::Simulator& sim, int channel, TcpClient* client);

// Predicate helpers for Simulator::WaitFor.
std::function<bool(const std::vector<exsim::Event>&)> HasAtLeast(exsim::Event::Kind kind, size_t n,
                                                                 int channel = -2);

constexpr std::chrono::milliseconds kWait{3000};

}  // namespace exsim_test
