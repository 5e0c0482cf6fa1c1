#include "exchange/net/limits.h"

#include <algorithm>

namespace exchange {

bool SourceLimits::OpenConnection(uint32_t ip) {
  if (open_ >= limits_.max_connections || (ceiling_ > 0 && open_ >= ceiling_)) return false;
  int& count = per_source_[ip];
  if (count >= limits_.connections_per_source) {
    if (count == 0) per_source_.erase(ip);
    return false;
  }
  ++count;
  ++open_;
  return true;
}

bool SourceLimits::OpenCallConnection(uint32_t ip) {
  int limit = std::min(limits_.max_connections, ceiling_ > 0 ? ceiling_ : limits_.max_connections);
  if (open_ >= std::max(1, limit - limit / 10)) return false;
  return OpenConnection(ip);
}

void SourceLimits::CloseConnection(uint32_t ip) {
  auto it = per_source_.find(ip);
  if (it == per_source_.end()) return;
  if (--it->second <= 0) per_source_.erase(it);
  if (open_ > 0) --open_;
}

}  // namespace exchange
