// Starting and watching Unix processes for the end-to-end suite: one-shot commands with captured output
// and a time limit, long-running children, and children whose output is read line by line as it comes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

using std::chrono::milliseconds;

// The environment of a child: each entry "KEY=VALUE".
using Environment = std::vector<std::string>;

// This process's environment with the given entries added or replaced.
Environment WithOverrides(const Environment& overrides);

struct CommandResult {
  int exit_code = -1;      // -1 when it did not exit normally
  bool timed_out = false;  // killed after the time limit
  std::string out;
  std::string err;
  bool ok() const { return !timed_out && exit_code == 0; }
};

// Runs argv (argv[0] a path) with standard input from /dev/null and waits for it, at most `limit`.
CommandResult RunCommand(const std::vector<std::string>& argv, const Environment& env, milliseconds limit);

// A child that runs alongside the test. Standard input is /dev/null; standard output and error go to
// `output_path` (appended) or, with an empty path, to /dev/null. The child is killed if this process dies
// (the test runner's thread that started it must be the main thread).
class Child {
 public:
  Child() = default;
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  Child(Child&& other) noexcept;
  Child& operator=(Child&& other) noexcept;

  static Child Start(const std::vector<std::string>& argv, const Environment& env,
                     const std::string& output_path);

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // True while the process has not ended (reaps it when it has).
  bool Running();
  // Waits until the process ends; false if it still runs after `limit`.
  bool WaitExit(milliseconds limit);
  int exit_status() const { return status_; }  // waitpid status, valid once ended
  void Kill();                                 // SIGKILL and reap

 private:
  pid_t pid_ = -1;
  bool ended_ = false;
  int status_ = 0;
};

// A child whose standard output is collected line by line on a reader thread.
class LineReader {
 public:
  LineReader() = default;
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Standard error goes to `err_path` (appended) or, with an empty path, to /dev/null.
  bool Start(const std::vector<std::string>& argv, const Environment& env, const std::string& err_path = "");
  std::vector<std::string> Lines() const;
  // Waits until pred(lines) holds; false after `limit`.
  bool WaitFor(const std::function<bool(const std::vector<std::string>&)>& pred, milliseconds limit) const;
  // True once the child's output has ended (it exited or closed it).
  bool ReachedEnd() const;
  // Ends the child (SIGKILL) unless it ended by itself, and joins the reader.
  void Stop();
  bool Exited();
  // Sends `signal` to the child while it runs; false when it has already ended.
  bool Signal(int signal);
  // The waitpid status once Exited() has seen the child end.
  int exit_status() const { return status_; }

 private:
  void ReadLoop(int fd);

  pid_t pid_ = -1;
  std::thread reader_;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<std::string> lines_;
  bool eof_ = false;
  int status_ = 0;
};

std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
void MakeDirs(const std::string& path);

}  // namespace e2e
