// The command itself, in ways that bind nothing: --help, --version, --check-config and bad arguments.
#include <gtest/gtest.h>

#include "exchange/daemon/command_line.h"
#include "tests/exchange/daemon/daemon_process.h"
#include "tests/exchange/daemon/temp_folder.h"

namespace exchange {
namespace {

using std::chrono::milliseconds;
using testing::DaemonProcess;
using testing::TempFolder;

constexpr milliseconds kWait(5000);

std::string AllOutput(DaemonProcess& p) {
  std::string all;
  for (const std::string& line : p.Lines())
    all += line + "\n";
  return all;
}

TEST(CommandLineTest, Parses) {
  EXPECT_EQ(ParseCommandLine({}).action, CommandLine::Action::kRun);
  EXPECT_TRUE(ParseCommandLine({}).config_path.empty());
  CommandLine c = ParseCommandLine({"--config", "/etc/pelvarine/exchange.conf"});
  EXPECT_EQ(c.action, CommandLine::Action::kRun);
  EXPECT_EQ(c.config_path, "/etc/pelvarine/exchange.conf");
  EXPECT_EQ(ParseCommandLine({"--check-config", "x"}).action, CommandLine::Action::kCheckConfig);
  EXPECT_EQ(ParseCommandLine({"--version"}).action, CommandLine::Action::kVersion);
  EXPECT_EQ(ParseCommandLine({"--config"}).action, CommandLine::Action::kUsageError);
  EXPECT_EQ(ParseCommandLine({"--config", "a", "--check-config", "b"}).action,
            CommandLine::Action::kUsageError);
  EXPECT_EQ(ParseCommandLine({"--verbose"}).error, "unknown argument \"--verbose\"");
}

TEST(CommandLineTest, HelpNamesEveryOptionAndKey) {
  std::string help = HelpText();
  for (const char* word : {"--config",
                           "--check-config",
                           "--help",
                           "--version",
                           "address_listen",
                           "address_port",
                           "phone_servers",
                           "public_addresses",
                           "base_port",
                           "voice_port",
                           "log_level",
                           "metrics",
                           "max_calls",
                           "max_connections",
                           "connections_per_source",
                           "calls_per_source",
                           "connections_per_source_per_minute",
                           "dials_per_source_per_minute",
                           "queries_per_source_per_minute",
                           "dial_timeout",
                           "max_call_minutes",
                           "voice_silence",
                           "linger",
                           "direct",
                           "direct_password_file",
                           "direct_prefixes",
                           "server",
                           "user",
                           "domain",
                           "display_name",
                           "credentials_file",
                           "register",
                           "local",
                           "rtp_ports",
                           "public_address",
                           "ring_limit",
                           "max_wait",
                           "3381 -> tone 1000 Hz",
                           "3368 -> echo",
                           "3191 -> tone 440 Hz",
                           "SIGTERM",
                           "[32765]",
                           "[20480]",
                           "[64]"})
    EXPECT_NE(help.find(word), std::string::npos) << word;
}

TEST(CommandTest, CheckConfigSaysWhatIsWrongAndWhere) {
  TempFolder folder;
  std::string good =
      folder.Write("good.conf", "[exchange]\naddress_port = 32765\n[dial]\n3368 = echo\n", 0644);
  std::string bad = folder.Write(
      "bad.conf", "[exchange]\naddress_port = 32765\nbase_port = 80\n[dial]\n3368 = fax\n", 0644);
  {
    DaemonProcess p(PELVARINE_EXCHANGE, {"--check-config", good});
    EXPECT_EQ(p.WaitForExit(kWait), 0);
    EXPECT_NE(p.WaitForLine(good + ": valid", kWait), "") << AllOutput(p);
  }
  {
    DaemonProcess p(PELVARINE_EXCHANGE, {"--check-config", bad});
    EXPECT_EQ(p.WaitForExit(kWait), 1);
    EXPECT_NE(p.WaitForLine(bad + ":3: base_port must be", kWait), "") << AllOutput(p);
    EXPECT_NE(p.WaitForLine(bad + ":5: dial 3368: unknown far-end kind \"fax\"", kWait), "") << AllOutput(p);
  }
  {
    // A bad file never starts anything.
    DaemonProcess p(PELVARINE_EXCHANGE, {"--config", bad});
    EXPECT_EQ(p.WaitForExit(kWait), 1);
    EXPECT_NE(p.WaitForLine("2 problem(s); nothing started", kWait), "") << AllOutput(p);
  }
}

TEST(CommandTest, TheExampleVenueConfigurationIsValid) {
  DaemonProcess p(PELVARINE_EXCHANGE, {"--check-config", EXAMPLE_CONFIG});
  EXPECT_EQ(p.WaitForExit(kWait), 0) << AllOutput(p);
  EXPECT_NE(p.WaitForLine(": valid (1 phone-server address(es), 3 dial string(s))", kWait), "")
      << AllOutput(p);
}

TEST(CommandTest, HelpVersionAndUsage) {
  {
    DaemonProcess p(PELVARINE_EXCHANGE, {"--help"});
    EXPECT_EQ(p.WaitForExit(kWait), 0);
    EXPECT_NE(p.WaitForLine("queries_per_source_per_minute", kWait), "");
  }
  {
    DaemonProcess p(PELVARINE_EXCHANGE, {"--version"});
    EXPECT_EQ(p.WaitForExit(kWait), 0);
    EXPECT_NE(p.WaitForLine("pelvarine-exchange " PELVARINE_VERSION, kWait), "");
  }
  {
    DaemonProcess p(PELVARINE_EXCHANGE, {"--bogus"});
    EXPECT_EQ(p.WaitForExit(kWait), 2);
    EXPECT_NE(p.WaitForLine("unknown argument \"--bogus\"", kWait), "");
  }
}

}  // namespace
}  // namespace exchange
