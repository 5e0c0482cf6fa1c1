// pelvarine-exchange: the venue exchange as a foreground daemon. See --help.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "exchange/daemon/command_line.h"
#include "exchange/daemon/daemon.h"
#include "exchange/daemon/daemon_config.h"
#include "exchange/daemon/logger.h"

int main(int argc, char** argv) {
  using exchange::CommandLine;
  CommandLine command = exchange::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  switch (command.action) {
    case CommandLine::Action::kHelp:
      std::fputs(exchange::HelpText().c_str(), stdout);
      return 0;
    case CommandLine::Action::kVersion:
      std::puts("pelvarine-exchange " PELVARINE_VERSION);
      return 0;
    case CommandLine::Action::kUsageError:
      std::fprintf(stderr, "pelvarine-exchange: %s\nTry pelvarine-exchange --help.\n", command.error.c_str());
      return 2;
    case CommandLine::Action::kRun:
    case CommandLine::Action::kCheckConfig:
      break;
  }

  // Under systemd the check's lines (ExecStartPre, a failed start) reach the journal: each at its priority.
  const char* error_mark = exchange::IsJournalStream(2) ? "<3>" : "";
  const char* note_mark = exchange::IsJournalStream(1) ? "<4>" : "";
  exchange::DaemonConfig config = exchange::DefaultDaemonConfig();
  if (!command.config_path.empty()) {
    exchange::FarEndRegistry built_in;
    exchange::AddBuiltInFarEnds(&built_in);
    std::vector<std::string> problems;
    if (!exchange::LoadDaemonConfig(command.config_path, built_in, &config, &problems)) {
      for (const std::string& problem : problems)
        std::fprintf(stderr, "%s%s\n", error_mark, problem.c_str());
      std::fprintf(stderr, "%s%s: %zu problem(s); nothing started\n", error_mark, command.config_path.c_str(),
                   problems.size());
      return 1;
    }
  }
  if (command.action == CommandLine::Action::kCheckConfig) {
    for (const std::string& note : config.notes)
      std::printf("%snote: %s\n", note_mark, note.c_str());
    // Root reads every secret and binds every port: the service's user may not.
    if (geteuid() == 0)
      std::printf(
          "%snote: checked as root: run it as the service's user (runuser -u pelvarine -- %s "
          "--check-config FILE) to catch a secret or a port that user cannot use\n",
          note_mark, argv[0]);
    std::printf("%s: valid (%zu phone-server address(es), %zu dial string(s)%s)\n",
                command.config_path.c_str(), config.exchange.phone_servers.size(),
                config.exchange.dial_plan.extensions().size(), config.has_sip ? ", sip far end" : "");
    return 0;
  }
  return exchange::RunDaemon(config, command.config_path);
}
