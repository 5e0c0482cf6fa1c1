#include "tests/exchange/daemon/daemon_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace exchange::testing {

DaemonProcess::DaemonProcess(const std::string& program, const std::vector<std::string>& args) {
  int out[2];
  if (pipe(out) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], 1);
    dup2(out[1], 2);
    close(out[0]);
    close(out[1]);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args)
      argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    std::perror("execv");
    _exit(127);
  }
  close(out[1]);
  reader_ = std::thread([this, fd = out[0]] { ReadOutput(fd); });
}

DaemonProcess::~DaemonProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  PauseReading(false);
  if (reader_.joinable()) reader_.join();
}

void DaemonProcess::ReadOutput(int fd) {
  std::string partial;
  char buffer[4096];
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return !paused_; });
    }
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    partial.append(buffer, static_cast<size_t>(n));
    size_t newline;
    while ((newline = partial.find('\n')) != std::string::npos) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(partial.substr(0, newline));
      partial.erase(0, newline + 1);
      changed_.notify_all();
    }
  }
  close(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  output_closed_ = true;
  changed_.notify_all();
}

std::string DaemonProcess::WaitForLine(const std::string& part, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  std::string found;
  changed_.wait_for(lock, timeout, [&] {
    for (const std::string& line : lines_) {
      if (line.find(part) != std::string::npos) {
        found = line;
        return true;
      }
    }
    return output_closed_;
  });
  return found;
}

std::vector<std::string> DaemonProcess::Lines() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

void DaemonProcess::PauseReading(bool paused) {
  std::lock_guard<std::mutex> lock(mutex_);
  paused_ = paused;
  changed_.notify_all();
}

void DaemonProcess::Signal(int sig) {
  if (pid_ > 0) kill(pid_, sig);
}

int DaemonProcess::WaitForExit(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (pid_ > 0) {
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

}  // namespace exchange::testing
