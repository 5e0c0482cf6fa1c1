// Which dial strings the venue lets its visitors reach, and where each one goes. Anything not listed is
// refused: an open gateway is the first thing toll fraud looks for.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace exchange {

// Where an accepted dial string goes: the far end kind ("echo", "tone", "sip") and its own target text.
struct DialRoute {
  std::string far_end;
  std::string target;
};

struct DialDecision {
  bool accepted = false;
  DialRoute route;
  std::string reason;           // why it was refused, for the log (never holds a password)
  bool direct = false;          // a direct number was tried ("number#password#")
  bool wrong_password = false;  // ... with a password that is not the venue's
};

class DialPlan {
 public:
  // An exact dial string, as the client sends it in department mode.
  void AddExtension(std::string dial, DialRoute route);

  // Direct numbers ("number#password#"): reachable only with this password, only numbers of 3 to 20 digits
  // starting with one of `prefixes` (comma separated; empty means any). An empty password disables them.
  void AllowDirectNumbers(std::string password, std::string prefixes, DialRoute route);

  // Sends every dial string that nothing above accepts to `route`. For simulators and tests only: a venue's
  // exchange must never have one.
  void SetDefaultRoute(DialRoute route) { default_route_ = std::move(route); }

  DialDecision Resolve(std::string_view dial) const;

  bool empty() const { return extensions_.empty() && direct_password_.empty() && !default_route_; }
  const std::map<std::string, DialRoute>& extensions() const { return extensions_; }

 private:
  DialDecision ResolveDirect(std::string_view dial) const;
  DialDecision CheckDirect(std::string_view dial) const;

  std::map<std::string, DialRoute> extensions_;
  std::string direct_password_;
  std::string direct_prefixes_;
  DialRoute direct_route_;
  std::optional<DialRoute> default_route_;
};

// The dial string with a direct number's password replaced by "*", fit for logs.
std::string MaskDialSecret(std::string_view dial);

}  // namespace exchange
