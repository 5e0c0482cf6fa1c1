// Checks across the keys of a configuration that each read well alone but cannot work together: ports the
// shipped client cannot reach, ports the service's user may not bind, two listeners on one port, and
// documentation addresses named to clients. Run by --check-config and at every load, so a start or a
// reload fails before a socket does.
#pragma once

#include <functional>
#include <map>
#include <string>

#include "exchange/daemon/daemon_config.h"

namespace exchange {

// The line each key was read from ("exchange.address_port" → 4); keys not written are missing.
using KeyLines = std::map<std::string, int>;

// Ports the client has built in: where it asks for the address server, and its first channel's.
constexpr int kClientAddressPort = 32765;
constexpr int kClientBasePort = 20480;

struct CheckContext {
  bool forwarded_ports = false;  // [exchange] forwarded_ports = yes: other ports reached by port forwarding
  int unprivileged_port_start = 1024;  // the lowest port this user may bind; 0 for root
};

using Report = std::function<void(int line, const std::string& what)>;

void CheckAcrossKeys(const DaemonConfig& config, const KeyLines& lines, const CheckContext& context,
                     const Report& problem, const Report& note);

}  // namespace exchange
