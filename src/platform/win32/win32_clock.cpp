#include "platform/win32/win32_clock.h"

#include <windows.h>

namespace pelvarine::win32 {

int64_t Win32Clock::MonotonicMs() {
  return static_cast<int64_t>(GetTickCount64());
}

void Win32Clock::Sleep(int ms) {
  ::Sleep(static_cast<DWORD>(ms));
}

}  // namespace pelvarine::win32
