#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;

// Everything execve needs, built before fork: the child may only make async-signal-safe calls.
struct ExecArgs {
  std::vector<std::string> argv_storage, env_storage;
  std::vector<char*> argv, envp;

  ExecArgs(const std::vector<std::string>& args, const Environment& env)
      : argv_storage(args), env_storage(env) {
    for (std::string& a : argv_storage)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& e : env_storage)
      envp.push_back(e.data());
    envp.push_back(nullptr);
  }
};

// In the child: standard input from /dev/null, output to out_fd/err_fd (-1: /dev/null), then exec.
[[noreturn]] void ExecChild(const ExecArgs& args, pid_t parent, int out_fd, int err_fd) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(126);
  int null_fd = open("/dev/null", O_RDWR);
  dup2(null_fd, 0);
  dup2(out_fd >= 0 ? out_fd : null_fd, 1);
  dup2(err_fd >= 0 ? err_fd : null_fd, 2);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execve(args.argv[0], args.argv.data(), args.envp.data());
  _exit(127);
}

}  // namespace

Environment WithOverrides(const Environment& overrides) {
  Environment out;
  auto key_of = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    bool replaced = false;
    for (const std::string& o : overrides)
      replaced = replaced || key_of(o) == key_of(entry);
    if (!replaced) out.push_back(entry);
  }
  out.insert(out.end(), overrides.begin(), overrides.end());
  return out;
}

CommandResult RunCommand(const std::vector<std::string>& argv, const Environment& env, milliseconds limit) {
  CommandResult result;
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return result;
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return result;
  }
  ExecArgs args(argv, env);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) ExecChild(args, parent, out_pipe[1], err_pipe[1]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (pid < 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    return result;
  }
  Clock::time_point deadline = Clock::now() + limit;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int status = 0;
  bool exited = false;
  // Reads until the child has exited and its pipes are drained. A process the child started (a Wine
  // service, a daemon) may hold the pipes open for longer: once the child itself has ended, only what is
  // already buffered is read.
  for (;;) {
    if (!exited) {
      pid_t r = waitpid(pid, &status, WNOHANG);
      exited = r == pid || (r < 0 && errno != EINTR);
    }
    if (!exited && Clock::now() >= deadline) {
      result.timed_out = true;
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    int n = poll(fds, 2, exited ? 0 : 10);
    if (n < 0 && errno != EINTR) break;
    bool got_any = false;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        sinks[i]->append(buf, static_cast<size_t>(got));
        got_any = true;
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
    bool all_closed = fds[0].fd < 0 && fds[1].fd < 0;
    if (exited && (all_closed || !got_any)) break;
  }
  for (pollfd& p : fds)
    if (p.fd >= 0) close(p.fd);
  if (!result.timed_out && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

Child::~Child() {
  if (started() && !ended_) Kill();
}

Child::Child(Child&& other) noexcept : pid_(other.pid_), ended_(other.ended_), status_(other.status_) {
  other.pid_ = -1;
}

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    if (started() && !ended_) Kill();
    pid_ = other.pid_;
    ended_ = other.ended_;
    status_ = other.status_;
    other.pid_ = -1;
  }
  return *this;
}

Child Child::Start(const std::vector<std::string>& argv, const Environment& env,
                   const std::string& output_path) {
  Child child;
  int out_fd = -1;
  if (!output_path.empty())
    out_fd = open(output_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  ExecArgs args(argv, env);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) ExecChild(args, parent, out_fd, out_fd);
  if (out_fd >= 0) close(out_fd);
  child.pid_ = pid;
  return child;
}

bool Child::Running() {
  if (!started() || ended_) return false;
  int status = 0;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_ || (r < 0 && errno == ECHILD)) {
    ended_ = true;
    status_ = status;
    return false;
  }
  return true;
}

bool Child::WaitExit(milliseconds limit) {
  Clock::time_point deadline = Clock::now() + limit;
  while (Running()) {
    if (Clock::now() >= deadline) return false;
    usleep(5000);
  }
  return true;
}

void Child::Kill() {
  if (!started() || ended_) return;
  kill(pid_, SIGKILL);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  ended_ = true;
  status_ = status;
}

LineReader::~LineReader() {
  Stop();
}

bool LineReader::Start(const std::vector<std::string>& argv, const Environment& env,
                       const std::string& err_path) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  int err_fd = -1;
  if (!err_path.empty()) err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  ExecArgs args(argv, env);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) ExecChild(args, parent, fds[1], err_fd);
  close(fds[1]);
  if (err_fd >= 0) close(err_fd);
  if (pid < 0) {
    close(fds[0]);
    return false;
  }
  pid_ = pid;
  reader_ = std::thread(&LineReader::ReadLoop, this, fds[0]);
  return true;
}

void LineReader::ReadLoop(int fd) {
  std::string pending;
  char buf[4096];
  for (;;) {
    ssize_t got = read(fd, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    pending.append(buf, static_cast<size_t>(got));
    size_t pos;
    std::vector<std::string> fresh;
    while ((pos = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, pos);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      fresh.push_back(line);
      pending.erase(0, pos + 1);
    }
    if (!fresh.empty()) {
      std::lock_guard<std::mutex> lock(mu_);
      lines_.insert(lines_.end(), fresh.begin(), fresh.end());
      cv_.notify_all();
    }
  }
  close(fd);
  std::lock_guard<std::mutex> lock(mu_);
  eof_ = true;
  cv_.notify_all();
}

std::vector<std::string> LineReader::Lines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

bool LineReader::WaitFor(const std::function<bool(const std::vector<std::string>&)>& pred,
                         milliseconds limit) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, limit, [&] { return pred(lines_); });
}

bool LineReader::ReachedEnd() const {
  std::lock_guard<std::mutex> lock(mu_);
  return eof_;
}

bool LineReader::Exited() {
  if (pid_ <= 0) return true;
  int status = 0;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_ || (r < 0 && errno == ECHILD)) {
    if (r == pid_) status_ = status;
    pid_ = -1;
    return true;
  }
  return false;
}

bool LineReader::Signal(int signal) {
  if (Exited()) return false;
  return kill(pid_, signal) == 0;
}

void LineReader::Stop() {
  if (pid_ > 0 && !Exited()) {
    kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }
  if (reader_.joinable()) reader_.join();
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  return static_cast<bool>(out);
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

void MakeDirs(const std::string& path) {
  std::string partial;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      if (!partial.empty()) mkdir(partial.c_str(), 0755);
    }
    if (i < path.size()) partial.push_back(path[i]);
  }
}

}  // namespace e2e
