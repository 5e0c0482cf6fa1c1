#include "exchange/daemon/secret_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace exchange {

namespace {

constexpr size_t kMaxSecretFile = 4096;

// Only the exchange's own user (or root) could have written a secret it may trust.
bool SecretOwnerTrusted(uid_t uid) {
  return uid == geteuid() || uid == 0;
}

}  // namespace

bool ReadSecretFile(const std::string& path, std::string* secret, std::string* error) {
  // Opened first and checked through the descriptor, so the file checked is the file read.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0 && errno == ELOOP) {
    *error = path +
             " is a symbolic link: name the file itself (a secret is not read through a link, which "
             "could point anywhere)";
    return false;
  }
  if (fd < 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  struct stat info;
  bool ok = fstat(fd, &info) == 0;
  if (!ok) {
    *error = path + ": " + std::strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    *error = path + " is not a regular file";
    ok = false;
  } else if ((info.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    *error = path + " is open to group or others (mode " + mode +
             "): make it readable by its owner only (chmod 600)";
    ok = false;
  } else if (!SecretOwnerTrusted(info.st_uid)) {
    *error = path + " belongs to user " + std::to_string(info.st_uid) +
             ": a secret must belong to the exchange's own user (or root), who alone could have written it";
    ok = false;
  }
  std::string content;
  if (ok) {
    char buffer[kMaxSecretFile];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
      *error = path + ": " + std::strerror(errno);
      ok = false;
    } else {
      content.assign(buffer, static_cast<size_t>(n));
    }
  }
  close(fd);
  if (!ok) return false;
  size_t end = content.find('\n');
  if (end != std::string::npos) content.resize(end);
  if (!content.empty() && content.back() == '\r') content.pop_back();
  if (content.empty()) {
    *error = path + " holds no secret on its first line";
    return false;
  }
  *secret = std::move(content);
  return true;
}

}  // namespace exchange
