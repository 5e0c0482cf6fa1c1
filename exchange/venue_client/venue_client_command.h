// pelvarine-client: writes a venue's copy of the Windows client (its address server and home-page host,
// optionally signed) and shows what a given client calls. Native, on the exchange's machine.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace venue_client {

// Runs the command on `args` (without the program's name). Returns the exit status: 0 done, 1 refused
// (the reason on `err`), 2 a usage error.
int RunVenueClientCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

std::string UsageText();

}  // namespace venue_client
