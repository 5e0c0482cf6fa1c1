#include "exchange/venue_client/output_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace venue_client {
namespace {

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool Fail(std::string* problem, const std::string& why) {
  *problem = why + ": " + std::strerror(errno);
  return false;
}

}  // namespace

OutputFolder::~OutputFolder() {
  if (folder_.empty()) return;
  if (DIR* dir = opendir(folder_.c_str())) {
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir))
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
        names.push_back(entry->d_name);
    closedir(dir);
    for (const std::string& name : names)
      unlink(Path(name).c_str());
  }
  rmdir(folder_.c_str());
}

bool OutputFolder::Open(const std::string& output, std::string* problem) {
  output_ = output;
  std::string pattern = FolderOf(output) + "/.pelvarine-client-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) return Fail(problem, "cannot create a file in " + FolderOf(output));
  folder_ = name.data();
  return true;
}

bool OutputFolder::Write(const std::string& name, const std::string& bytes, std::string* problem) {
  std::string path = Path(name);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return Fail(problem, "cannot create " + path);
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int saved = errno;
      close(fd);
      errno = saved;
      return Fail(problem, "cannot write " + path);
    }
    done += static_cast<size_t>(n);
  }
  if (fsync(fd) != 0 || close(fd) != 0) return Fail(problem, "cannot write " + path);
  return true;
}

bool OutputFolder::Commit(const std::string& name, std::string* problem) {
  if (rename(Path(name).c_str(), output_.c_str()) != 0) return Fail(problem, "cannot replace " + output_);
  // The rename itself reaches the disk with the folder.
  int dir = open(FolderOf(output_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* problem) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return Fail(problem, "cannot read " + path);
  if (!S_ISREG(st.st_mode)) {
    *problem = "cannot read " + path + ": not a regular file";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return Fail(problem, "cannot read " + path);
  std::ostringstream content;
  content << in.rdbuf();
  if (!in.good() && !in.eof()) return Fail(problem, "cannot read " + path);
  *bytes = content.str();
  return true;
}

}  // namespace venue_client
