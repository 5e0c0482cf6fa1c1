// Writing the venue's copy so that the output path holds either its old content or the whole new file,
// never part of one: every file is made in a private folder beside the output and renamed into place.
#pragma once

#include <string>

namespace venue_client {

class OutputFolder {
 public:
  OutputFolder() = default;
  ~OutputFolder();  // removes the private folder with whatever is still in it
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;

  // Makes the private folder in the folder of `output`; false with `problem` when that cannot be done.
  bool Open(const std::string& output, std::string* problem);
  // A path inside the private folder.
  std::string Path(const std::string& name) const { return folder_ + "/" + name; }
  // Writes `bytes` to Path(name), flushed to disk; false with `problem`.
  bool Write(const std::string& name, const std::string& bytes, std::string* problem);
  // Renames Path(name) onto the output; false with `problem`.
  bool Commit(const std::string& name, std::string* problem);

 private:
  std::string output_, folder_;
};

// Reads the whole file at `path`; false with `problem`.
bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* problem);

}  // namespace venue_client
