#pragma once
// The rest of the operating system the core asks about. UI thread only; texts are GBK.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace pelvarine {

constexpr unsigned kMessageBoxOk = 0x0;
constexpr unsigned kMessageBoxIconInformation = 0x40;

class System {
 public:
  virtual ~System() = default;
  // This machine's host name; false when the platform cannot give it.
  virtual bool HostName(std::string* name) = 0;
  // The IPv4 addresses the name resolves to, in the platform's order (bytes in network order).
  virtual std::vector<std::array<uint8_t, 4>> HostAddresses(const std::string& name) = 0;
  // The platform's connected result and its connection flags (1 modem, 2 LAN, 4 proxy).
  virtual bool InternetConnectedState(uint32_t* flags) = 0;
  // The first value of HKCR\htmlfile\shell\open\command, read with read access only; false when the key
  // or the value cannot be read or the data needs more than 256 bytes with its terminator.
  virtual bool ReadBrowserCommand(std::string* command) = 0;
  // Starts a program from a command line, shown normally; the outcome is not reported.
  virtual void RunProgram(const std::string& command_line) = 0;
  // A modal message box owned by the main window (or by none before it exists).
  virtual void ShowMessageBox(const std::string& text, const std::string& caption, unsigned type) = 0;
};

}  // namespace pelvarine
