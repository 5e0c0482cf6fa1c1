#include "exchange/web/forwarded_for.h"

#include <arpa/inet.h>

namespace exchange {

namespace {

std::optional<uint32_t> Ipv4(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  struct in_addr address;
  if (text.empty() || text.size() > 15 || inet_pton(AF_INET, std::string(text).c_str(), &address) != 1)
    return std::nullopt;
  return ntohl(address.s_addr);
}

}  // namespace

std::optional<uint32_t> LastForwardedAddress(std::string_view header) {
  size_t comma = header.rfind(',');
  return Ipv4(comma == std::string_view::npos ? header : header.substr(comma + 1));
}

bool IsTrustedProxy(uint32_t ip, const std::vector<std::string>& proxies) {
  for (const std::string& proxy : proxies)
    if (Ipv4(proxy) == ip) return true;
  return false;
}

}  // namespace exchange
