// The system's own winmm, loaded beside the stand-in: every export the stand-in does not serve jumps
// straight to it (see the generated forwarding stubs), and every wave-input call on a handle that is not
// the stand-in's own.
#pragma once

#include <windows.h>

namespace capture_standin {

// Loads the system's winmm and fills the forwarding table. False if it cannot be loaded.
bool LoadSystemWinmm();
// The system's export of this name, or null.
FARPROC SystemExport(const char* name);

template <typename Function>
Function System(const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(SystemExport(name)));
}

// A line in the stand-in's log (the file named by CAPTURE_STANDIN_LOG, if set), for the tests' reports.
void LogLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace capture_standin
