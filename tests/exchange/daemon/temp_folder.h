// A private temporary folder for files a test writes (configuration, secrets), removed with what it holds.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace exchange::testing {

class TempFolder {
 public:
  TempFolder() {
    char pattern[] = "/tmp/exchange-daemon-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempFolder() {
    for (const std::string& f : files_)
      unlink(f.c_str());
    rmdir(path_.c_str());
  }

  // Writes `name` with `content` and `mode`; returns its full path.
  std::string Write(const std::string& name, const std::string& content, mode_t mode = 0600) {
    std::string file = path_ + "/" + name;
    std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
    chmod(file.c_str(), mode);
    files_.push_back(file);
    return file;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

}  // namespace exchange::testing
