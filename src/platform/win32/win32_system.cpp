#include "platform/win32/win32_system.h"

#include <wininet.h>

#include "build_config.h"
#include "platform/win32/gbk_text.h"

namespace pelvarine::win32 {
namespace {
constexpr DWORD kBrowserValueLimit = 256;  // bytes, for the value's name and for its data
}

bool Win32System::HostName(std::string* name) {
  char buffer[256] = {};
  if (gethostname(buffer, sizeof buffer) != 0) return false;
  *name = buffer;
  return true;
}

std::vector<std::array<uint8_t, 4>> Win32System::HostAddresses(const std::string& name) {
  std::vector<std::array<uint8_t, 4>> addresses;
  hostent* host = gethostbyname(name.c_str());
  if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4) return addresses;
  for (char** entry = host->h_addr_list; *entry != nullptr; ++entry) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(*entry);
    addresses.push_back({bytes[0], bytes[1], bytes[2], bytes[3]});
  }
  return addresses;
}

bool Win32System::InternetConnectedState(uint32_t* flags) {
  DWORD platform_flags = 0;
  BOOL connected = InternetGetConnectedState(&platform_flags, 0);
  *flags = platform_flags;
  return connected != FALSE;
}

bool Win32System::ReadBrowserCommand(std::string* command) {
  // Read access only: ordinary users may not open this key with all access.
  HKEY root = nullptr;
  if (RegOpenKeyA(HKEY_CLASSES_ROOT, nullptr, &root) != ERROR_SUCCESS) return false;
  HKEY key = nullptr;
  bool read = false;
  if (RegOpenKeyExA(root, "htmlfile\\shell\\open\\command", 0, KEY_READ, &key) == ERROR_SUCCESS) {
    char name[1024] = {};
    char data[1024] = {};
    DWORD name_size = kBrowserValueLimit;
    DWORD data_size = kBrowserValueLimit;
    if (RegEnumValueA(key, 0, name, &name_size, nullptr, nullptr, reinterpret_cast<BYTE*>(data),
                      &data_size) == ERROR_SUCCESS) {
      *command = data;
      read = true;
    }
    RegCloseKey(key);
  }
  RegCloseKey(root);
  return read;
}

void Win32System::RunProgram(const std::string& command_line) {
  WinExec(command_line.c_str(), SW_SHOW);
}

void Win32System::ShowMessageBox(const std::string& text, const std::string& caption, unsigned type) {
  std::wstring title = caption.empty() ? WideFromGbk(PELVARINE_PRODUCT_NAME) : WideFromGbk(caption);
  MessageBoxW(owner_, WideFromGbk(text).c_str(), title.c_str(), type);
}

}  // namespace pelvarine::win32
