#include "system_winmm.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

// From the generated forwarding table (forwards.cpp).
extern "C" {
extern const char* const forward_names[];
extern void* forward_table[];
extern const unsigned forward_count;
}

namespace capture_standin {
namespace {

HMODULE system_module = nullptr;
CRITICAL_SECTION log_lock;
HANDLE log_file = INVALID_HANDLE_VALUE;

}  // namespace

bool LoadSystemWinmm() {
  InitializeCriticalSection(&log_lock);
  char log_path[MAX_PATH] = {};
  if (GetEnvironmentVariableA("CAPTURE_STANDIN_LOG", log_path, MAX_PATH) > 0) {
    log_file = CreateFileA(log_path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  // By full path: the stand-in itself is the winmm.dll beside the program.
  wchar_t path[MAX_PATH] = {};
  UINT length = GetSystemDirectoryW(path, MAX_PATH - 16);
  if (length == 0 || length >= MAX_PATH - 16) return false;
  wcscat(path, L"\\winmm.dll");
  system_module = LoadLibraryW(path);
  if (system_module == nullptr) {
    LogLine("cannot load the system winmm (error %lu)", GetLastError());
    return false;
  }
  // Without the native-first override the loader may hand back this very module.
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&LoadSystemWinmm), &self);
  if (system_module == self) {
    LogLine("the system winmm resolved to the stand-in itself");
    system_module = nullptr;
    return false;
  }
  unsigned missing = 0;
  for (unsigned i = 0; i < forward_count; ++i) {
    forward_table[i] = reinterpret_cast<void*>(GetProcAddress(system_module, forward_names[i]));
    if (forward_table[i] == nullptr) ++missing;
  }
  LogLine("loaded the system winmm; %u of %u forwarded exports missing there", missing, forward_count);
  return true;
}

FARPROC SystemExport(const char* name) {
  return system_module ? GetProcAddress(system_module, name) : nullptr;
}

void LogLine(const char* format, ...) {
  if (log_file == INVALID_HANDLE_VALUE) return;
  char line[512];
  int used = std::snprintf(line, sizeof line, "%lu ", GetTickCount());
  va_list args;
  va_start(args, format);
  std::vsnprintf(line + used, sizeof line - static_cast<size_t>(used) - 2, format, args);
  va_end(args);
  std::strcat(line, "\n");
  EnterCriticalSection(&log_lock);
  DWORD written = 0;
  WriteFile(log_file, line, static_cast<DWORD>(std::strlen(line)), &written, nullptr);
  LeaveCriticalSection(&log_lock);
}

}  // namespace capture_standin
