#include "cli.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "fake_client.h"

namespace exsim {
namespace {

bool Parse(const std::vector<std::string>& args, CliConfig* config, std::string* error = nullptr) {
  std::string ignored;
  return ParseCommandLine(args, config, error ? error : &ignored);
}

TEST(CommandLine, FlagsSetTheirOptions) {
  CliConfig c;
  ASSERT_TRUE(Parse({"--busy",
                     "2",
                     "--voice=echo",
                     "--tone-hz",
                     "440.5",
                     "--hangup-after",
                     "0",
                     "--refuse",
                     "--quality",
                     "--hello",
                     "--hostile",
                     "--silent-address",
                     "--silent-phone",
                     "--udp-port",
                     "30000",
                     "--extra-tag",
                     "{BoHaoNext}",
                     "--extra-tag=\\x01{GuaJi}",
                     "--extra-tags-after-dial",
                     "--voice-address",
                     "",
                     "--phone-ip",
                     "1.2.3.4",
                     "--duration",
                     "1.5",
                     "--voice-count",
                     "7",
                     "--seed",
                     "9",
                     "--bind",
                     "0.0.0.0"},
                    &c));
  const Options& o = c.options;
  EXPECT_EQ(o.busy_channels, 2);
  EXPECT_EQ(o.voice, VoiceMode::kEcho);
  EXPECT_DOUBLE_EQ(o.tone_hz, 440.5);
  EXPECT_EQ(o.hangup_after_ms, 0);
  EXPECT_TRUE(o.refuse && o.quality && o.hello && o.hostile && o.silent_address && o.silent_phone);
  EXPECT_TRUE(o.extra_tags_after_dial);
  EXPECT_EQ(o.udp_port_override, 30000);
  EXPECT_EQ(o.extra_tags, (std::vector<std::string>{"{BoHaoNext}", "\x01{GuaJi}"}));
  ASSERT_TRUE(o.voice_address);
  EXPECT_EQ(*o.voice_address, "");
  EXPECT_EQ(o.phone_ip, "1.2.3.4");
  EXPECT_DOUBLE_EQ(c.duration_seconds, 1.5);
  EXPECT_EQ(o.voice_count, 7);
  EXPECT_EQ(o.hostile_seed, 9u);
  EXPECT_EQ(o.bind_address, "0.0.0.0");
}

TEST(CommandLine, BadFlagsAreRejectedWithAReason) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--nope"}, "unknown option \"--nope\""},
      {{"--busy"}, "--busy needs a value (N)"},
      {{"--busy", "x"}, "--busy: expected an integer"},
      {{"--busy", "-1"}, "--busy: expected an integer"},
      {{"--channels", "65"}, "--channels: expected an integer in 1..64"},
      {{"--address-port", "70000"}, "--address-port: expected"},
      {{"--voice", "music"}, "--voice: expected none, tone or echo"},
      {{"--hostile=yes"}, "--hostile takes no value"},
      {{"--tone-hz", "5000"}, "--tone-hz: expected a number"},
      {{"--duration", "soon"}, "--duration: expected a number"},
      {{"stray"}, "unknown option \"stray\""},
  };
  for (const auto& [args, message] : cases) {
    CliConfig c;
    std::string error;
    EXPECT_FALSE(Parse(args, &c, &error)) << args[0];
    EXPECT_EQ(error.rfind(message, 0), 0u) << error;
  }
}

TEST(CommandLine, UsageListsEveryFlagWithItsDefault) {
  std::string usage = Usage("exchange-sim");
  for (const char* flag : {"--bind",          "--address-port", "--phone-ip",   "--phone-base-port",
                           "--channels",      "--busy",         "--refuse",     "--udp-port",
                           "--quality",       "--hangup-after", "--hello",      "--extra-tag",
                           "--voice",         "--tone-hz",      "--voice-pace", "--voice-count",
                           "--voice-address", "--client-host",  "--hostile",    "--silent-address",
                           "--silent-phone",  "--tag-gap",      "--duration",   "--help"}) {
    EXPECT_NE(usage.find(flag), std::string::npos) << flag;
  }
  EXPECT_NE(usage.find("[default: 32765]"), std::string::npos);
  EXPECT_NE(usage.find("[default: 20480]"), std::string::npos);
  EXPECT_NE(usage.find("[default: 1000]"), std::string::npos);
}

TEST(CommandLine, UnescapeArgument) {
  EXPECT_EQ(UnescapeArgument("a\\x00b"), std::string("a\0b", 3));
  EXPECT_EQ(UnescapeArgument("\\xC4\\xe3"), "\xC4\xE3");
  EXPECT_EQ(UnescapeArgument("\\\\x41"), "\\x41");
  EXPECT_EQ(UnescapeArgument("\\xZ1\\x4"), "\\xZ1\\x4");
}

// ---- The executable ----

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs exchange-sim; calls on_output with the stdout so far until it returns true, then sends `signal`.
RunResult RunCli(const std::vector<std::string>& args, int signal_to_send = 0,
                 std::function<bool(const std::string&)> ready = nullptr) {
  RunResult r;
  int out_pipe[2];
  int err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return r;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    std::vector<char*> argv;
    std::string path = EXSIM_CLI_PATH;
    argv.push_back(path.data());
    std::vector<std::string> copy = args;
    for (std::string& a : copy)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  bool signalled = false;
  bool out_open = true;
  bool err_open = true;
  while ((out_open || err_open) && std::chrono::steady_clock::now() < deadline) {
    pollfd fds[2] = {{out_open ? out_pipe[0] : -1, POLLIN, 0}, {err_open ? err_pipe[0] : -1, POLLIN, 0}};
    poll(fds, 2, 100);
    char buf[4096];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      ssize_t n = read(fds[i].fd, buf, sizeof(buf));
      if (n <= 0) {
        (i == 0 ? out_open : err_open) = false;
      } else {
        (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
      }
    }
    if (signal_to_send != 0 && !signalled && ready && ready(r.out)) {
      kill(pid, signal_to_send);
      signalled = true;
    }
  }
  if (out_open || err_open) kill(pid, SIGKILL);
  close(out_pipe[0]);
  close(err_pipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

std::vector<std::string> FreePortArgs() {
  return {"--address-port", "0", "--phone-base-port", std::to_string(exsim_test::RandomBasePort())};
}

TEST(Executable, BadFlagPrintsUsageToStderrAndExits2) {
  RunResult r = RunCli({"--no-such-flag"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("unknown option"), std::string::npos);
  EXPECT_NE(r.err.find("Usage:"), std::string::npos);
  EXPECT_EQ(r.out, "");
}

TEST(Executable, HelpGoesToStdout) {
  RunResult r = RunCli({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("--duration SECONDS"), std::string::npos);
}

TEST(Executable, DurationStopsByItself) {
  RunResult r;
  for (int attempt = 0; attempt < 5; ++attempt) {
    std::vector<std::string> args = FreePortArgs();
    args.insert(args.end(), {"--duration", "0.3"});
    auto start = std::chrono::steady_clock::now();
    r = RunCli(args);
    if (r.status == 1) continue;  // port taken: try another
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    break;
  }
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("] Started "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("] Stopped"), std::string::npos) << r.out;
}

TEST(Executable, SigtermStopsCleanly) {
  RunResult r;
  for (int attempt = 0; attempt < 5; ++attempt) {
    r = RunCli(FreePortArgs(), SIGTERM,
               [](const std::string& out) { return out.find("] Started ") != std::string::npos; });
    if (r.status != 1) break;
  }
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("] Stopped"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace exsim
