#include "exchange/daemon/config_values.h"

#include <arpa/inet.h>

#include "exchange/protocol/display_text.h"

namespace exchange {

bool ParseIpv4(std::string_view text) {
  if (text.empty() || text.size() > 15) return false;
  in_addr address;
  return inet_pton(AF_INET, std::string(text).c_str(), &address) == 1;
}

bool ParseBoundedInt(std::string_view text, long min, long max, long* out) {
  if (text.empty() || text.size() > 9) return false;
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < min || value > max) return false;
  *out = value;
  return true;
}

bool ParseSeconds(std::string_view text, long min, long max, long* out) {
  if (!text.empty() && text.back() == 's') {
    text.remove_suffix(1);
    while (!text.empty() && text.back() == ' ')
      text.remove_suffix(1);
  }
  return ParseBoundedInt(text, min, max, out);
}

std::vector<std::string> SplitList(std::string_view text) {
  std::vector<std::string> items;
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    items.push_back(TrimSpaces(text.substr(start, comma == std::string_view::npos ? comma : comma - start)));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return items;
}

}  // namespace exchange
