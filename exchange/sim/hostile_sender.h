// The voice side of the hostile peer: malformed datagrams and a flood, sent from a socket of the simulator's
// own to where a call's voice goes, just before the call's own voice starts.
#pragma once

#include <string>

#include "exchange_sim.h"

namespace exsim {

class HostileSender {
 public:
  HostileSender() = default;
  ~HostileSender();
  HostileSender(const HostileSender&) = delete;
  HostileSender& operator=(const HostileSender&) = delete;

  // Opens the sending socket on `bind_address`; false with *error set when it cannot.
  bool Open(const std::string& bind_address, std::string* error);

  // Sends the malformed datagrams, then `flood` well-formed ones numbered 1..flood, to `destination`
  // ("ip:port") with `address_text` in them. Returns the HostileVoiceSent event describing what left.
  Event Send(const std::string& destination, const std::string& address_text, unsigned seed, int flood);

 private:
  int fd_ = -1;
};

}  // namespace exsim
