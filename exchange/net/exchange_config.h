// Where an exchange listens and how it behaves: built in for the default command, read from a venue's
// configuration file by the daemon, set by the simulator's scenarios.
#pragma once

#include <string>
#include <vector>

#include "exchange/call/call_settings.h"
#include "exchange/call/dial_plan.h"
#include "exchange/net/limits.h"

namespace exchange {

struct PhoneServerAddress {
  std::string listen;          // IPv4 address its four channels bind to
  std::string public_address;  // what the address server names to clients; empty: the listen address
};

struct ExchangeConfig {
  std::string address_listen = "127.0.0.1";  // the address server's IPv4 address
  int address_port = 32765;                  // 0: any free port (tests)
  std::vector<PhoneServerAddress> phone_servers = {{"127.0.0.1", ""}};
  int phone_base_port = 20480;  // channel k: TCP base + 2k, UDP base + 2k + 1
  int channels = 4;             // the client steps through at most four
  // > 0: voice of every channel is taken on this one UDP port, announced with "{RemoteUDPPort}[n]".
  int voice_port = 0;

  uint64_t address_timeout_ms = 3000;  // for the whole 452-byte query to arrive
  bool address_silent = false;         // read queries but never answer (tests of a stuck server)

  Limits limits;
  CallSettings call;
  DialPlan dial_plan;
};

}  // namespace exchange
