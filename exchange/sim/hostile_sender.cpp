#include "hostile_sender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "exchange/protocol/wire_formats.h"
#include "hostile_material.h"

namespace exsim {

namespace {

bool ParseEndpoint(const std::string& text, sockaddr_in* out) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  *out = sockaddr_in{};
  out->sin_family = AF_INET;
  if (inet_pton(AF_INET, text.substr(0, colon).c_str(), &out->sin_addr) != 1) return false;
  int port = std::atoi(text.c_str() + colon + 1);
  if (port <= 0 || port > 65535) return false;
  out->sin_port = htons(static_cast<uint16_t>(port));
  return true;
}

}  // namespace

HostileSender::~HostileSender() {
  if (fd_ >= 0) ::close(fd_);
}

bool HostileSender::Open(const std::string& bind_address, std::string* error) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    *error = std::string("hostile voice socket: ") + std::strerror(errno);
    return false;
  }
  int size = 1 << 20;
  setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, bind_address.c_str(), &local.sin_addr);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
    *error = "hostile voice socket: cannot bind " + bind_address + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

Event HostileSender::Send(const std::string& destination, const std::string& address_text, unsigned seed,
                          int flood) {
  Event e;
  e.kind = Event::Kind::HostileVoiceSent;
  e.peer = destination;
  sockaddr_in dest{};
  if (fd_ < 0 || !ParseEndpoint(destination, &dest)) {
    e.kind = Event::Kind::Error;
    e.text = "hostile voice: no socket or no destination (\"" + destination + "\")";
    return e;
  }
  auto send = [&](const std::string& d) {
    return ::sendto(fd_, d.data(), d.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&dest),
                    sizeof(dest)) >= 0;
  };
  std::vector<std::string> odd = HostileVoiceDatagrams(seed, address_text);
  long long sent = 0;
  for (const std::string& d : odd)
    sent += send(d) ? 1 : 0;
  long long flood_sent = 0;
  for (int i = 1; i <= flood; ++i)
    flood_sent += send(exchange::BuildServerVoice(address_text, i, "")) ? 1 : 0;
  e.sequence = sent + flood_sent;
  e.text = std::to_string(sent) + " of " + std::to_string(odd.size()) +
           " malformed datagrams (2000 bytes, empty, 1 byte, bad sequence fields) and a flood of " +
           std::to_string(flood_sent) + " of " + std::to_string(flood) + " to " + destination;
  return e;
}

}  // namespace exsim
