#pragma once
// Winsock sockets with the semantics the call session expects: notifications as window messages on the
// UI thread; connect and send block the caller but keep the windows repainting.

#include "platform/network.h"
#include "platform/win32/socket_notifier.h"

namespace pelvarine::win32 {

class Win32Network final : public Network {
 public:
  explicit Win32Network(SocketNotifier& notifier) : notifier_(notifier) {}
  std::unique_ptr<StreamSocket> CreateStreamSocket(StreamSocketEvents& events) override;
  std::unique_ptr<DatagramSocket> CreateDatagramSocket(uint16_t port, DatagramSocketEvents& events) override;

 private:
  SocketNotifier& notifier_;
};

}  // namespace pelvarine::win32
