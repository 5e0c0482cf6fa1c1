// A small stand-in for the Windows client, with blocking sockets and timeouts: the address query, a phone
// connection with its tags, and voice datagrams. Plus a one-request HTTP GET for the counters.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace exchange::testing {

using std::chrono::milliseconds;

class TcpClient {
 public:
  // Connects to 127.0.0.1:port; connected() tells whether it worked.
  explicit TcpClient(int port);
  ~TcpClient();
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  bool Send(const std::string& bytes);
  // Reads until `count` bytes arrived in all (returns what arrived by the timeout).
  std::string ReadBytes(size_t count, milliseconds timeout);
  // Reads until `needle` appears in what arrived since the last call.
  bool ReadUntil(const std::string& needle, milliseconds timeout);
  // Reads (and drops) until the peer closes; false if it is still open after `timeout`.
  bool WaitForClose(milliseconds timeout);
  void Close();
  int local_port() const;

 private:
  int fd_ = -1;
  std::string received_;
};

class UdpClient {
 public:
  UdpClient();  // bound to 127.0.0.1, any port
  ~UdpClient();
  bool SendTo(int port, const std::string& datagram);
  // The next datagram, or "" after `timeout`.
  std::string Receive(milliseconds timeout);

 private:
  int fd_ = -1;
};

// The body of GET `path` on 127.0.0.1:port with the status code in *status; "" with *status 0 on failure.
std::string HttpGet(int port, const std::string& path, int* status);

}  // namespace exchange::testing
