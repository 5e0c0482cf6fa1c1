// libre's own messages ("tcp: send: write(): Connection reset by peer") go through the daemon's logger:
// same timestamps and levels, no colour codes, nothing written to stderr behind its back.
#pragma once

#include "exchange/daemon/logger.h"

namespace exchange {

// Routes libre's messages at `logger`'s level and above to it (call again when the level changes); null
// gives them back to libre. Needs libre_init() first.
void RouteLibreLog(Logger* logger);

// The logger's level for one of libre's (DBG_WARNING...).
LogLevel LevelOfLibre(int libre_level);

}  // namespace exchange
