#include "exchange/farend/sip/hunt_list.h"

namespace exchange {
namespace {

bool IsExtensionChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '*' || c == '#' ||
         c == '+' || c == '-' || c == '_' || c == '.';
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && text.front() == ' ')
    text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ')
    text.remove_suffix(1);
  return text;
}

}  // namespace

bool ParseHuntList(std::string_view target, std::vector<std::string>* extensions, std::string* error) {
  std::vector<std::string> result;
  size_t start = 0;
  while (true) {
    size_t comma = target.find(',', start);
    std::string_view entry =
        Trim(target.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
    if (entry.empty()) {
      *error = "empty extension in '" + std::string(target) + "'";
      return false;
    }
    if (entry.size() > kMaxExtensionLength) {
      *error = "extension '" + std::string(entry) + "' is longer than " +
               std::to_string(kMaxExtensionLength) + " characters";
      return false;
    }
    for (char c : entry) {
      if (!IsExtensionChar(c)) {
        *error = "extension '" + std::string(entry) +
                 "' may hold only letters, digits and * # + - _ . (comma separates extensions)";
        return false;
      }
    }
    if (result.size() == kMaxHuntEntries) {
      *error = "a hunt list holds at most " + std::to_string(kMaxHuntEntries) + " extensions";
      return false;
    }
    result.emplace_back(entry);
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  *extensions = std::move(result);
  return true;
}

std::string EscapeExtension(std::string_view extension) {
  std::string escaped;
  for (char c : extension) {
    if (c == '#') {
      escaped += "%23";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

}  // namespace exchange
