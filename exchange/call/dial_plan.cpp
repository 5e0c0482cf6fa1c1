#include "exchange/call/dial_plan.h"

#include <cstdint>

namespace exchange {

namespace {

constexpr size_t kMinDirectDigits = 3;
constexpr size_t kMaxDirectDigits = 20;

bool AllDigits(std::string_view text) {
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Compares without an early exit, so the time taken tells nothing about how much of a guess was right.
bool SameSecret(std::string_view a, std::string_view b) {
  unsigned diff = a.size() == b.size() ? 0u : 1u;
  size_t n = a.size() > b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    unsigned x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0u;
    unsigned y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0u;
    diff |= x ^ y;
  }
  return diff == 0;
}

bool HasAllowedPrefix(std::string_view number, std::string_view prefixes) {
  if (prefixes.empty()) return true;
  size_t start = 0;
  while (start <= prefixes.size()) {
    size_t comma = prefixes.find(',', start);
    std::string_view prefix = prefixes.substr(start, comma == std::string_view::npos ? comma : comma - start);
    while (!prefix.empty() && prefix.front() == ' ')
      prefix.remove_prefix(1);
    while (!prefix.empty() && prefix.back() == ' ')
      prefix.remove_suffix(1);
    if (!prefix.empty() && number.substr(0, prefix.size()) == prefix) return true;
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return false;
}

DialDecision Refuse(std::string reason) {
  DialDecision d;
  d.reason = std::move(reason);
  return d;
}

}  // namespace

void DialPlan::AddExtension(std::string dial, DialRoute route) {
  extensions_[std::move(dial)] = std::move(route);
}

void DialPlan::AllowDirectNumbers(std::string password, std::string prefixes, DialRoute route) {
  direct_password_ = std::move(password);
  direct_prefixes_ = std::move(prefixes);
  direct_route_ = std::move(route);
}

DialDecision DialPlan::Resolve(std::string_view dial) const {
  auto it = extensions_.find(std::string(dial));
  if (it != extensions_.end()) {
    DialDecision d;
    d.accepted = true;
    d.route = it->second;
    return d;
  }
  DialDecision decision =
      dial.find('#') != std::string_view::npos ? ResolveDirect(dial) : Refuse("not in the dial plan");
  if (!decision.accepted && default_route_) {
    decision.accepted = true;
    decision.route = *default_route_;
    decision.reason.clear();
    decision.direct = decision.wrong_password = false;
  }
  return decision;
}

DialDecision DialPlan::ResolveDirect(std::string_view dial) const {
  DialDecision d = CheckDirect(dial);
  d.direct = true;
  return d;
}

DialDecision DialPlan::CheckDirect(std::string_view dial) const {
  // "number#password#", as the client composes it (an empty password travels as one space).
  size_t first = dial.find('#');
  if (dial.size() < 2 || dial.back() != '#' || first == dial.size() - 1)
    return Refuse("malformed direct number");
  std::string_view number = dial.substr(0, first);
  std::string_view password = dial.substr(first + 1, dial.size() - first - 2);
  if (direct_password_.empty()) return Refuse("direct numbers are not allowed");
  if (!AllDigits(number) || number.size() < kMinDirectDigits || number.size() > kMaxDirectDigits)
    return Refuse("malformed direct number");
  if (!SameSecret(password, direct_password_)) {
    DialDecision wrong = Refuse("wrong password for a direct number");
    wrong.wrong_password = true;
    return wrong;
  }
  if (!HasAllowedPrefix(number, direct_prefixes_))
    return Refuse("direct number outside the allowed prefixes");
  DialDecision d;
  d.accepted = true;
  d.route = direct_route_;
  d.route.target = std::string(number);
  return d;
}

std::string MaskDialSecret(std::string_view dial) {
  size_t first = dial.find('#');
  if (first == std::string_view::npos) return std::string(dial);
  return std::string(dial.substr(0, first)) + "#*#";
}

}  // namespace exchange
