#include "exchange/daemon/config_values.h"

#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>

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

size_t FindInvalidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char c = byte(i);
    size_t length = c < 0x80             ? 1
                    : (c & 0xE0) == 0xC0 ? 2
                    : (c & 0xF0) == 0xE0 ? 3
                    : (c & 0xF8) == 0xF0 ? 4
                                         : 0;
    if (length == 0 || i + length > text.size() || (length == 2 && c < 0xC2)) return i;
    uint32_t code = length == 1 ? c : c & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      if ((byte(i + k) & 0xC0) != 0x80) return i;
      code = (code << 6) | (byte(i + k) & 0x3F);
    }
    // Overlong forms, UTF-16 surrogates and code points past Unicode's last are not UTF-8.
    if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF))
      return i;
    i += length;
  }
  return std::string_view::npos;
}

std::string ShowValue(std::string_view text) {
  std::string shown;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      shown += escaped;
    } else {
      shown += c;
    }
  }
  return shown;
}

bool IsDocumentationAddress(std::string_view ipv4) {
  for (std::string_view prefix : {"192.0.2.", "198.51.100.", "203.0.113."}) {
    if (ipv4.substr(0, prefix.size()) == prefix) return true;
  }
  return false;
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
