// Who the visitor is behind the venue's reverse proxy: the last address its X-Forwarded-For names (the one
// the proxy itself added; earlier ones are whatever the visitor sent). Only a listed proxy is believed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace exchange {

// The last entry of an X-Forwarded-For value as an IPv4 address (host byte order), if it is one.
std::optional<uint32_t> LastForwardedAddress(std::string_view header);

// Whether `ip` is one of `proxies` (IPv4 texts).
bool IsTrustedProxy(uint32_t ip, const std::vector<std::string>& proxies);

}  // namespace exchange
