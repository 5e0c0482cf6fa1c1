// The page's files, read once at start from the page folder: index.html, page.css, page.js and the artwork
// under art/. Only these are ever served, so no request path reaches the file system.
#pragma once

#include <map>
#include <string>

namespace exchange {

struct PageFile {
  std::string type;  // Content-Type
  std::string body;
};

class PageFiles {
 public:
  // Reads the folder; false with *error naming the first file missing or unreadable.
  bool Load(const std::string& folder, std::string* error);
  // The file for a request path ("/" is index.html), or nullptr.
  const PageFile* Find(const std::string& path) const;
  size_t count() const { return files_.size(); }

 private:
  std::map<std::string, PageFile> files_;
};

}  // namespace exchange
