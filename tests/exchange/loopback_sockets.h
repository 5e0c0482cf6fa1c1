// Blocking TCP and UDP clients on 127.0.0.1 with timeouts: the exchange's tests play a visitor's client
// (or an HTTP client of its counters) with them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace exchange::testing {

class TcpClient {
 public:
  TcpClient() = default;
  ~TcpClient() { Close(); }
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  bool Connect(int port);
  bool Send(std::string_view data);
  // What arrived within the timeout, as one recv() returned it (or what ReadUntil read past its text).
  // nullopt on timeout, "" when the peer closed (or reset).
  std::optional<std::string> ReceiveChunk(int timeout_ms);
  // Accumulates chunks until at least `size` bytes arrived, the peer closes or the timeout passes: more
  // than `size` when the peer sent more.
  std::string ReceiveBytes(size_t size, int timeout_ms);
  // Reads until `text` has arrived and drops everything up to its end; false on timeout or close.
  bool ReadUntil(std::string_view text, int timeout_ms);
  // Reads until the peer closes; true if it closed within the timeout. Data read goes to *data.
  bool WaitClosed(int timeout_ms, std::string* data = nullptr);
  void ShutdownWrite();
  void Close();
  int fd() const { return fd_; }
  int local_port() const;

 private:
  int fd_ = -1;
  std::string unread_;  // read past ReadUntil's text, handed out first
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

}  // namespace exchange::testing
