#include "exchange/daemon/ini_file.h"

namespace exchange {

namespace {

constexpr size_t kMaxLineLength = 4096;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back()))
    text.remove_suffix(1);
  return text;
}

// Cuts a comment that starts with '#' after a blank, so values such as "3381#" keep their '#'.
std::string_view WithoutComment(std::string_view line) {
  for (size_t i = 1; i < line.size(); ++i) {
    if (line[i] == '#' && IsBlank(line[i - 1])) return line.substr(0, i);
  }
  return line;
}

}  // namespace

std::vector<IniSection> ParseIni(std::string_view text, std::vector<ConfigProblem>* problems) {
  std::vector<IniSection> sections;
  sections.push_back(IniSection{});
  int number = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view raw = text.substr(start, end - start);
    start = end + 1;
    ++number;
    if (raw.size() > kMaxLineLength) {
      problems->push_back({number, "line longer than " + std::to_string(kMaxLineLength) + " characters"});
      continue;
    }
    std::string_view line = Trim(raw);
    if (line.empty() || line.front() == '#') continue;
    line = Trim(WithoutComment(line));
    if (line.front() == '[') {
      if (line.back() != ']' || line.size() < 3) {
        problems->push_back({number, "a section header is written [name]"});
        continue;
      }
      IniSection section;
      section.name = std::string(Trim(line.substr(1, line.size() - 2)));
      section.line = number;
      sections.push_back(std::move(section));
      continue;
    }
    size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      // The line is not quoted: it may be a password written where it does not belong.
      problems->push_back({number, "expected \"key = value\" or a [section] header"});
      continue;
    }
    std::string_view key = Trim(line.substr(0, equals));
    if (key.empty()) {
      problems->push_back({number, "a line starts with '=' but needs a key before it"});
      continue;
    }
    sections.back().entries.push_back(
        IniEntry{std::string(key), std::string(Trim(line.substr(equals + 1))), number});
  }
  if (sections.front().entries.empty()) sections.erase(sections.begin());
  return sections;
}

}  // namespace exchange
