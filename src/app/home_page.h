#pragma once
// The home-page button: the system's HTML browser command with the home-page host after it.

#include <string>
#include <string_view>

#include "platform/system.h"

namespace pelvarine {

// The browser command followed directly by the host.
std::string ComposeHomePageCommand(std::string_view browser_command, std::string_view host);

// Starts the browser on the host; does nothing when the browser command cannot be read.
void OpenHomePage(System& system, std::string_view host);

}  // namespace pelvarine
