#include "exchange/web/origin_check.h"

#include <algorithm>
#include <cctype>

namespace exchange {

namespace {

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

bool OriginAllowed(std::string_view origin, std::string_view host, const std::vector<std::string>& allowed) {
  if (origin.empty()) return false;  // browsers always send it; a request without one is not a page's
  if (!allowed.empty())
    return std::any_of(allowed.begin(), allowed.end(),
                       [&](const std::string& o) { return SameText(o, origin); });
  size_t scheme = origin.find("://");
  if (scheme == std::string_view::npos || host.empty()) return false;
  std::string_view scheme_name = origin.substr(0, scheme);
  if (!SameText(scheme_name, "http") && !SameText(scheme_name, "https")) return false;
  return SameText(origin.substr(scheme + 3), host);
}

}  // namespace exchange
