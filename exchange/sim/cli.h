// Command-line front end of exchange-sim: flag parsing and usage text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "exchange_sim.h"

namespace exsim {

struct CliConfig {
  Options options;
  double duration_seconds = 0;  // 0 = run until SIGINT/SIGTERM
  bool help = false;
};

// Parses the arguments (without the program name). Returns false with *error describing the bad flag.
bool ParseCommandLine(const std::vector<std::string>& args, CliConfig* config, std::string* error);

// The --help text listing every flag with its default.
std::string Usage(std::string_view program);

// Turns "\xHH" into the byte HH and "\\" into a backslash; other text is kept as is.
std::string UnescapeArgument(std::string_view text);

}  // namespace exsim
