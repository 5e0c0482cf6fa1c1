#pragma once
// The two stream sockets of a call. Each owns its platform socket and forwards the notifications to the
// session, which may destroy the socket object from inside the handler.

#include <memory>

#include "platform/network.h"

namespace pelvarine {

class CallSession;

class CSessionSocket : public StreamSocketEvents {
 public:
  explicit CSessionSocket(CallSession& owner) : owner_(owner) {}
  // Creates the platform socket; false when it cannot be created.
  bool Create(Network& network);
  StreamSocket& socket() { return *socket_; }

 protected:
  CallSession& owner_;

 private:
  std::unique_ptr<StreamSocket> socket_;
};

// The address query's connection: its reply is handed to the session; a close is ignored.
class CAddressSocket final : public CSessionSocket {
 public:
  using CSessionSocket::CSessionSocket;
  void OnReceive() override;
  void OnClose() override {}
};

// The signalling connection to the phone server: each readable chunk goes to the session, and the server
// closing it tears the call down.
class CSignalSocket final : public CSessionSocket {
 public:
  using CSessionSocket::CSessionSocket;
  void OnReceive() override;
  void OnClose() override;
};

}  // namespace pelvarine
