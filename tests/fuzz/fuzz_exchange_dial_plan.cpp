// The dial plan is the exchange's toll-fraud gate: a dial string is accepted only when it is one of the
// configured extensions, or a direct number of 3 to 20 digits within the allowed prefixes followed by the
// configured password; a refusal always says why, and the string written to logs never shows the password.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "exchange/call/dial_plan.h"

using exchange::DialPlan;
using exchange::DialRoute;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

bool Digits(std::string_view s) {
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// Plain restatement of the rule for "number#password#".
bool DirectAllowed(std::string_view dial, const std::string& password, const std::string& prefixes) {
  if (password.empty() || dial.size() < 2 || dial.back() != '#') return false;
  size_t hash = dial.find('#');
  if (hash == dial.size() - 1) return false;
  std::string_view number = dial.substr(0, hash);
  std::string_view given = dial.substr(hash + 1, dial.size() - hash - 2);
  if (!Digits(number) || number.size() < 3 || number.size() > 20 || given != password) return false;
  bool matched = false;
  size_t start = 0;
  while (start <= prefixes.size()) {
    size_t comma = prefixes.find(',', start);
    std::string p = prefixes.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    p.erase(0, p.find_first_not_of(' '));
    p.erase(p.find_last_not_of(' ') + 1);
    if (!p.empty() && number.substr(0, p.size()) == p) matched = true;
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return prefixes.empty() || matched;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // "password\nprefixes\ndial": the venue's settings and the visitor's dial string.
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t a = input.find('\n');
  if (a == std::string_view::npos) return 0;
  size_t b = input.find('\n', a + 1);
  if (b == std::string_view::npos) return 0;
  std::string password(input.substr(0, a));
  std::string prefixes(input.substr(a + 1, b - a - 1));
  std::string dial(input.substr(b + 1));

  DialPlan plan;
  const std::string extensions[] = {"3381", "0", "8#", "12#34#"};
  for (const std::string& e : extensions)
    plan.AddExtension(e, DialRoute{"echo", "ext " + e});
  plan.AllowDirectNumbers(password, prefixes, DialRoute{"sip", ""});

  exchange::DialDecision d = plan.Resolve(dial);
  bool is_extension = false;
  for (const std::string& e : extensions)
    is_extension = is_extension || dial == e;
  if (is_extension) {
    Check(d.accepted && d.route.far_end == "echo" && d.route.target == "ext " + dial);
  } else {
    Check(d.accepted == DirectAllowed(dial, password, prefixes));
    if (d.accepted) {
      Check(d.route.far_end == "sip" && d.route.target == dial.substr(0, dial.find('#')));
    } else {
      // One of the fixed reasons: nothing the visitor typed, so never the password.
      const std::string_view reasons[] = {
          "not in the dial plan", "malformed direct number", "direct numbers are not allowed",
          "wrong password for a direct number", "direct number outside the allowed prefixes"};
      bool known = false;
      for (std::string_view r : reasons)
        known = known || d.reason == r;
      Check(known);
    }
  }

  std::string masked = exchange::MaskDialSecret(dial);
  size_t hash = dial.find('#');
  if (hash == std::string::npos) {
    Check(masked == dial);
  } else {
    Check(masked == dial.substr(0, hash) + "#*#");
  }
  return 0;
}
