#include "exchange/venue_client/code_signing.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

extern char** environ;

namespace venue_client {
namespace {

bool Readable(const std::string& path, const char* what, std::string* problem) {
  if (access(path.c_str(), R_OK) == 0) return true;
  *problem = std::string("cannot read the ") + what + " " + path + ": " + std::strerror(errno);
  return false;
}

std::string LastLines(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  std::string all = text.str();
  while (!all.empty() && (all.back() == '\n' || all.back() == '\r'))
    all.pop_back();
  size_t cut = all.size() > 600 ? all.find('\n', all.size() - 600) : std::string::npos;
  return cut == std::string::npos ? all : all.substr(cut + 1);
}

}  // namespace

bool SignExecutable(const SigningRequest& request, const std::string& input, const std::string& output,
                    const std::string& log, std::string* problem) {
  if (!Readable(request.certificate, "certificate", problem) ||
      !Readable(request.password_file, "password file", problem))
    return false;
  // No timestamp server: this machine reaches none. The signature holds while the certificate is valid.
  std::vector<std::string> args = {
      "osslsigncode", "sign",   "-pkcs12", request.certificate, "-readpass", request.password_file,
      "-h",           "sha256", "-n",      "Pelvarine",         "-in",       input,
      "-out",         output};
  std::vector<char*> argv;
  for (std::string& arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t child = 0;
  int spawned = posix_spawnp(&child, "osslsigncode", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    *problem = std::string("cannot run osslsigncode (install the Debian package osslsigncode): ") +
               std::strerror(spawned);
    return false;
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  *problem = "osslsigncode could not sign the copy:\n" + LastLines(log);
  return false;
}

}  // namespace venue_client
