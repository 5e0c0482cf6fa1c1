#pragma once

#include "platform/clock.h"

namespace pelvarine::win32 {

class Win32Clock final : public Clock {
 public:
  int64_t MonotonicMs() override;
  void Sleep(int ms) override;
};

}  // namespace pelvarine::win32
