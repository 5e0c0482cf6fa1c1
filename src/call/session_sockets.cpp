#include "call/session_sockets.h"

#include "call/call_session.h"

namespace pelvarine {

bool CSessionSocket::Create(Network& network) {
  socket_ = network.CreateStreamSocket(*this);
  return socket_ != nullptr;
}

void CAddressSocket::OnReceive() {
  owner_.OnAddressReply();
}

void CSignalSocket::OnReceive() {
  owner_.OnSignalReceive();
}

void CSignalSocket::OnClose() {
  owner_.TearDownCall();
}

}  // namespace pelvarine
