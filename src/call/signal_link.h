#pragma once

#include <string_view>

namespace pelvarine {

// The signalling connection as the voice channel sees it (UI thread).
class SignalLink {
 public:
  virtual ~SignalLink() = default;
  virtual bool HasSignalConnection() const = 0;
  // Sends the text on the signalling connection; the result is whether all of it was handed on.
  virtual bool SendSignal(std::string_view text) = 0;
};

}  // namespace pelvarine
