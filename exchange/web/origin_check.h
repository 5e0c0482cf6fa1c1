// Whether a WebSocket's Origin may open a call: one of the venue's listed origins, or, with none listed,
// the page's own host (the Origin's host and port equal the request's Host). A page on another site must
// not place calls with its visitors' microphones.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace exchange {

bool OriginAllowed(std::string_view origin, std::string_view host, const std::vector<std::string>& allowed);

}  // namespace exchange
