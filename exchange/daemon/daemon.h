// The running daemon: libre's loop with the exchange, its far ends, its log and its counters. SIGHUP
// re-reads the configuration file, SIGTERM drains (no new calls; those in progress may finish within
// drain_seconds), a second SIGTERM or a SIGINT ends every call at once.
#pragma once

#include <string>

#include "exchange/daemon/daemon_config.h"
#include "exchange/farend/far_end_registry.h"

namespace exchange {

// The far ends every exchange has (echo, tone); the daemon adds "sip" when configured.
void AddBuiltInFarEnds(FarEndRegistry* registry);

// Runs until a signal ends it; returns the process's exit status (0 after a signal, 1 when it cannot start).
// `config_path` is re-read on SIGHUP; empty for the built-in default.
int RunDaemon(const DaemonConfig& config, const std::string& config_path);

}  // namespace exchange
