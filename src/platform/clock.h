#pragma once

#include <cstdint>

namespace pelvarine {

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds from an arbitrary origin; never goes back. Any thread.
  virtual int64_t MonotonicMs() = 0;
  // Blocks the calling thread, without handling any message.
  virtual void Sleep(int ms) = 0;
};

}  // namespace pelvarine
