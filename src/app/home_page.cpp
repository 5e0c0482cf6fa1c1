#include "app/home_page.h"

namespace pelvarine {

std::string ComposeHomePageCommand(std::string_view browser_command, std::string_view host) {
  std::string command(browser_command);
  command.append(host);
  return command;
}

void OpenHomePage(System& system, std::string_view host) {
  std::string browser;
  if (!system.ReadBrowserCommand(&browser)) return;
  system.RunProgram(ComposeHomePageCommand(browser, host));
}

}  // namespace pelvarine
