// The running daemon: libre's loop with the exchange, its far ends, its log and its counters, until SIGTERM
// or SIGINT.
#pragma once

#include "exchange/daemon/daemon_config.h"
#include "exchange/farend/far_end_registry.h"

namespace exchange {

// The far ends every exchange has (echo, tone); the daemon adds "sip" when configured.
void AddBuiltInFarEnds(FarEndRegistry* registry);

// Runs until a signal ends it; returns the process's exit status (0 after a signal, 1 when it cannot start).
int RunDaemon(const DaemonConfig& config);

}  // namespace exchange
