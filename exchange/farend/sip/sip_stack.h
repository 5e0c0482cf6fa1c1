// What every SIP far end of the exchange shares: libre's SIP stack with its transports and session socket,
// and the addresses and names derived from the settings once. Owned by SipFarEndFactory.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <re.h>

#include "exchange/farend/sip/sip_settings.h"
#include "exchange/farend/sip/sip_trunk_health.h"
#include "exchange/loop/libre_timers.h"

namespace exchange {

struct SipStack;

// One request's right to the trunk's credentials: libre would answer every new challenge of a request, even
// one that only calls the nonce stale, with the same rejected password (15 tries within milliseconds, and a
// PBX's brute-force guard bans the exchange). They are handed over once; another challenge fails the request.
struct SipAuthAttempt {
  SipStack* stack = nullptr;
  bool answered = false;
};

// A call that takes the in-dialog requests libre's sessions leave to others (UPDATE).
class SipDialogOwner {
 public:
  // Answers `msg` and returns true when it belongs to this call's dialog.
  virtual bool OnUpdate(const struct sip_msg* msg) = 0;

 protected:
  ~SipDialogOwner() = default;
};

struct SipStack {
  SipSettings settings;
  struct sip* sip = nullptr;
  struct sipsess_sock* sessions = nullptr;
  struct sa rtp_bind;        // where RTP sockets are bound (the SIP listen address, port 0)
  struct sa media_address;   // the address written in SDP
  std::string from_uri;      // sip:user@domain
  std::string contact_user;  // a user name, or a whole Contact URI when a public address is set
  std::string route;         // the server, through which every request goes
  std::function<void(const std::string&)> log;
  std::vector<SipDialogOwner*> dialogs;  // the calls alive, to find an UPDATE's
  LibreTimerSource timers;               // the RTP clocks of all its calls
  SipTrunkHealth health;

  // Supplies the digest credentials to libre; `arg` is a SipAuthAttempt.
  static int Authenticate(char** user, char** password, const char* realm, void* arg);
};

}  // namespace exchange
