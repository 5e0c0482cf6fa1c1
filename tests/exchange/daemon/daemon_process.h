// The built pelvarine-exchange run as a child process, its standard output collected line by line so a
// test can wait for a line to appear.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace exchange::testing {

class DaemonProcess {
 public:
  DaemonProcess(const std::string& program, const std::vector<std::string>& args);
  ~DaemonProcess();  // kills the child if it still runs

  // Waits for a line containing `part`; returns it, or "" after `timeout`.
  std::string WaitForLine(const std::string& part, std::chrono::milliseconds timeout);
  std::vector<std::string> Lines();
  // Stops reading the child's output, so its pipe fills and its writes block (a stuck journal).
  void PauseReading(bool paused);

  // Sends `sig`; then waits for the exit. Returns the exit status, or -1 when it did not exit in time
  // or was killed by a signal.
  void Signal(int sig);
  int WaitForExit(std::chrono::milliseconds timeout);

 private:
  void ReadOutput(int fd);

  pid_t pid_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  bool output_closed_ = false;
  bool paused_ = false;
};

}  // namespace exchange::testing
