#pragma once

#include <winsock2.h>

#include <windows.h>

#include "platform/system.h"

namespace pelvarine::win32 {

class Win32System final : public System {
 public:
  bool HostName(std::string* name) override;
  std::vector<std::array<uint8_t, 4>> HostAddresses(const std::string& name) override;
  bool InternetConnectedState(uint32_t* flags) override;
  bool ReadBrowserCommand(std::string* command) override;
  void RunProgram(const std::string& command_line) override;
  // An empty caption shows the program's name, as the framework's message boxes do.
  void ShowMessageBox(const std::string& text, const std::string& caption, unsigned type) override;

  void SetOwner(HWND owner) { owner_ = owner; }

 private:
  HWND owner_ = nullptr;
};

}  // namespace pelvarine::win32
