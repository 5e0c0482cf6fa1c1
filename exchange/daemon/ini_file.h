// The venue's configuration file as written: sections of `key = value` lines, each remembered with its line
// number so every complaint about it can point at the line to fix.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace exchange {

struct IniEntry {
  std::string key;
  std::string value;
  int line = 0;
};

struct IniSection {
  std::string name;  // without the brackets; "" for lines before the first header
  int line = 0;      // of the header
  std::vector<IniEntry> entries;
};

struct ConfigProblem {
  int line = 0;  // 0: about the file as a whole
  std::string what;
};

// Splits `text` into sections. Blank lines and lines whose first non-blank character is '#' are skipped; a
// '#' after a blank ends the value (comments after a value). Keys and values are trimmed. Lines that are
// neither a header nor `key = value`, empty keys, and lines longer than a sane length are reported.
std::vector<IniSection> ParseIni(std::string_view text, std::vector<ConfigProblem>* problems);

}  // namespace exchange
