#include "sipp_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace exchange {
namespace {

bool PortInTable(const char* table, uint16_t port, bool listen_state_only) {
  std::ifstream in(table);
  std::string line;
  std::getline(in, line);  // header
  char wanted[8];
  snprintf(wanted, sizeof wanted, ":%04X", port);
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (local.size() >= 5 && local.compare(local.size() - 5, 5, wanted) == 0 &&
        (!listen_state_only || state == "0A")) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool SippProcess::Start(const std::vector<std::string>& arguments, const std::string& log_path) {
  std::vector<std::string> argv_text = {program_};
  argv_text.insert(argv_text.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& text : argv_text)
    argv.push_back(text.data());
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    // SIPp must not outlive a test that crashes.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int null_in = open("/dev/null", O_RDONLY);
    int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (null_in >= 0) dup2(null_in, 0);
    if (log >= 0) {
      dup2(log, 1);
      dup2(log, 2);
    }
    execvp(program_.c_str(), argv.data());
    _exit(127);
  }
  status_.reset();
  return true;
}

bool SippProcess::WaitListening(uint16_t port, bool tcp, int timeout_ms) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (tcp ? PortInTable("/proc/net/tcp", port, true) : PortInTable("/proc/net/udp", port, false))
      return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) return false;  // SIPp gave up (bad scenario, port taken)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::optional<int> SippProcess::Poll() {
  if (status_ || pid_ <= 0) return status_;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
  }
  return status_;
}

void SippProcess::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

int SippProcess::Terminate(int timeout_ms) {
  if (pid_ <= 0) return status_.value_or(-1);
  kill(pid_, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (Poll()) return *status_;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Kill();
  return -1;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace exchange
