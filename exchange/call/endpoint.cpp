#include <cstdio>

#include "exchange/call/call_link.h"

namespace exchange {

std::string Endpoint::IpString() const {
  char text[16];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 0xFF, (ip >> 8) & 0xFF, ip & 0xFF);
  return text;
}

std::string Endpoint::ToString() const {
  return IpString() + ":" + std::to_string(port);
}

}  // namespace exchange
