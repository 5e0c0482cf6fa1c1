#include "platform/win32/win32_network.h"

#include <ws2tcpip.h>

#include "platform/bounded_send.h"

namespace pelvarine::win32 {
namespace {

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

// Windows gives up on an unanswered connect after about 21 s; other stacks wait far longer.
constexpr DWORD kConnectGiveUpMs = 30000;
constexpr long kWaitStepUs = 20000;

// Waits until the socket is writable, has failed or `give_up_ms` has passed, repainting meanwhile.
WaitOutcome WaitWritable(SOCKET socket, DWORD give_up_ms) {
  ULONGLONG deadline = GetTickCount64() + give_up_ms;
  for (;;) {
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket, &writable);
    FD_SET(socket, &failed);
    timeval step = {0, kWaitStepUs};
    int ready = select(0, nullptr, &writable, &failed, &step);
    if (ready == SOCKET_ERROR) return WaitOutcome::kFailed;
    if (ready > 0) {
      return !FD_ISSET(socket, &failed) && FD_ISSET(socket, &writable) ? WaitOutcome::kWritable
                                                                       : WaitOutcome::kFailed;
    }
    if (GetTickCount64() >= deadline) return WaitOutcome::kTimedOut;
    SocketNotifier::PumpPaintMessages();
  }
}

// The non-blocking socket's side of a bounded send.
class SocketSendSteps final : public SendSteps {
 public:
  explicit SocketSendSteps(SOCKET socket) : socket_(socket) {}
  SendOutcome SendSome(const char* data, size_t size, size_t* sent) override {
    int taken = send(socket_, data, static_cast<int>(size), 0);
    if (taken == SOCKET_ERROR) {
      return WSAGetLastError() == WSAEWOULDBLOCK ? SendOutcome::kWouldBlock : SendOutcome::kFailed;
    }
    *sent = static_cast<size_t>(taken);
    return SendOutcome::kSent;
  }
  WaitOutcome WaitWritable(int ms) override { return win32::WaitWritable(socket_, static_cast<DWORD>(ms)); }
  int64_t NowMs() override { return static_cast<int64_t>(GetTickCount64()); }

 private:
  SOCKET socket_;
};

bool ResolveIpv4(const char* address, in_addr* out) {
  if (inet_pton(AF_INET, address, out) == 1) return true;
  addrinfo hints = {};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (getaddrinfo(address, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  *out = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

class Win32StreamSocket final : public StreamSocket, public SocketListener {
 public:
  Win32StreamSocket(SocketNotifier& notifier, SOCKET socket, StreamSocketEvents& events)
      : notifier_(notifier), socket_(socket), events_(events) {}
  ~Win32StreamSocket() override { Close(); }

  bool Watch() { return notifier_.Watch(socket_, FD_READ | FD_CLOSE, *this, &message_id_); }

  bool Connect(const char* address, uint16_t port) override {
    sockaddr_in peer = {};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    if (socket_ == INVALID_SOCKET || !ResolveIpv4(address, &peer.sin_addr)) return false;
    if (connect(socket_, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0) return true;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return false;
    return WaitWritable(socket_, kConnectGiveUpMs) == WaitOutcome::kWritable;
  }

  // A peer that stops reading gets 10 s; then the send counts as failed.
  bool Send(const void* data, size_t size) override {
    if (socket_ == INVALID_SOCKET) return false;
    SocketSendSteps steps(socket_);
    return SendWithin(steps, static_cast<const char*>(data), size);
  }

  int Receive(void* buffer, size_t size) override {
    if (socket_ == INVALID_SOCKET) return -1;
    int received = recv(socket_, static_cast<char*>(buffer), static_cast<int>(size), 0);
    return received == SOCKET_ERROR ? -1 : received;
  }

  uint32_t PeerIpv4() override {
    sockaddr_in peer = {};
    int length = sizeof peer;
    if (socket_ == INVALID_SOCKET || getpeername(socket_, reinterpret_cast<sockaddr*>(&peer), &length) != 0)
      return 0;
    return ntohl(peer.sin_addr.s_addr);
  }

  void Close() override {
    if (socket_ == INVALID_SOCKET) return;
    notifier_.Forget(socket_, message_id_);
    closesocket(socket_);
    socket_ = INVALID_SOCKET;
  }

  void OnSocketEvent(int event, int) override {
    if (event == FD_READ) {
      events_.OnReceive();
    } else if (event == FD_CLOSE) {
      events_.OnClose();
    }
  }

 private:
  SocketNotifier& notifier_;
  SOCKET socket_;
  StreamSocketEvents& events_;
  UINT message_id_ = 0;
};

class Win32DatagramSocket final : public DatagramSocket, public SocketListener {
 public:
  Win32DatagramSocket(SocketNotifier& notifier, SOCKET socket, DatagramSocketEvents& events)
      : notifier_(notifier), socket_(socket), events_(events) {}
  ~Win32DatagramSocket() override {
    notifier_.Forget(socket_, message_id_);
    closesocket(socket_);
  }

  bool Watch() { return notifier_.Watch(socket_, FD_READ, *this, &message_id_); }

  int Receive(void* buffer, size_t size) override {
    int received = recvfrom(socket_, static_cast<char*>(buffer), static_cast<int>(size), 0, nullptr, nullptr);
    return received == SOCKET_ERROR ? -1 : received;
  }

  bool SendTo(const void* data, size_t size, uint32_t ipv4, uint16_t port) override {
    if (ipv4 == 0) return false;
    sockaddr_in peer = {};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(ipv4);
    return sendto(socket_, static_cast<const char*>(data), static_cast<int>(size), 0,
                  reinterpret_cast<sockaddr*>(&peer), sizeof peer) != SOCKET_ERROR;
  }

  void OnSocketEvent(int event, int) override {
    if (event == FD_READ) events_.OnReceive();
  }

 private:
  SocketNotifier& notifier_;
  SOCKET socket_;
  DatagramSocketEvents& events_;
  UINT message_id_ = 0;
};

}  // namespace

std::unique_ptr<StreamSocket> Win32Network::CreateStreamSocket(StreamSocketEvents& events) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return nullptr;
  auto stream = std::make_unique<Win32StreamSocket>(notifier_, s, events);
  if (!stream->Watch()) return nullptr;
  return stream;
}

std::unique_ptr<DatagramSocket> Win32Network::CreateDatagramSocket(uint16_t port,
                                                                   DatagramSocketEvents& events) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return nullptr;
  sockaddr_in local = {};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) == SOCKET_ERROR) {
    closesocket(s);
    return nullptr;
  }
  // A datagram to a port nobody listens on must not make the next receive fail.
  BOOL report_resets = FALSE;
  DWORD returned = 0;
  WSAIoctl(s, SIO_UDP_CONNRESET, &report_resets, sizeof report_resets, nullptr, 0, &returned, nullptr,
           nullptr);
  auto datagram = std::make_unique<Win32DatagramSocket>(notifier_, s, events);
  if (!datagram->Watch()) return nullptr;
  return datagram;
}

}  // namespace pelvarine::win32
