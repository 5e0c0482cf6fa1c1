#include "exchange/web/page_files.h"

#include <dirent.h>

#include <fstream>
#include <sstream>

namespace exchange {

namespace {

constexpr size_t kMaxFileBytes = 1 << 20;

bool ReadWhole(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  *out = text.str();
  return out->size() <= kMaxFileBytes;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

bool PageFiles::Load(const std::string& folder, std::string* error) {
  files_.clear();
  const std::pair<const char*, const char*> kFixed[] = {
      {"index.html", "text/html; charset=utf-8"},
      {"page.css", "text/css; charset=utf-8"},
      {"page.js", "text/javascript; charset=utf-8"},
  };
  for (const auto& [name, type] : kFixed) {
    PageFile file{type, {}};
    if (!ReadWhole(folder + "/" + name, &file.body)) {
      *error = "web page: cannot read " + folder + "/" + name;
      return false;
    }
    files_["/" + std::string(name)] = std::move(file);
  }
  DIR* art = opendir((folder + "/art").c_str());
  if (art == nullptr) {
    *error = "web page: no folder " + folder + "/art";
    return false;
  }
  while (struct dirent* entry = readdir(art)) {
    std::string name = entry->d_name;
    if (name[0] == '.' || !EndsWith(name, ".svg")) continue;
    PageFile file{"image/svg+xml", {}};
    if (!ReadWhole(folder + "/art/" + name, &file.body)) {
      closedir(art);
      *error = "web page: cannot read " + folder + "/art/" + name;
      return false;
    }
    files_["/art/" + name] = std::move(file);
  }
  closedir(art);
  return true;
}

const PageFile* PageFiles::Find(const std::string& path) const {
  auto it = files_.find(path == "/" ? "/index.html" : path);
  return it == files_.end() ? nullptr : &it->second;
}

}  // namespace exchange
