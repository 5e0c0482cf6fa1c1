// The daemon's command line: no arguments runs the built-in default; a venue passes its file.
#pragma once

#include <string>
#include <vector>

namespace exchange {

struct CommandLine {
  enum class Action { kRun, kCheckConfig, kHelp, kVersion, kUsageError };
  Action action = Action::kRun;
  std::string config_path;  // --config or --check-config; empty: the built-in default
  std::string error;        // kUsageError: what was wrong
};

CommandLine ParseCommandLine(const std::vector<std::string>& args);

// Every option and every configuration key with its default.
std::string HelpText();

}  // namespace exchange
