// Readers of the configuration's value types. Each returns false on anything it does not fully understand,
// so a typo is reported rather than half-read.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace exchange {

// Dotted IPv4 text, e.g. "192.0.2.10".
bool ParseIpv4(std::string_view text);

// Decimal digits only, within [min, max].
bool ParseBoundedInt(std::string_view text, long min, long max, long* out);

// Whole seconds: "20" or "20 s" / "20s", within [min, max].
bool ParseSeconds(std::string_view text, long min, long max, long* out);

// "a, b,c" → {"a", "b", "c"}; empty items are kept so "a,,b" can be reported.
std::vector<std::string> SplitList(std::string_view text);

}  // namespace exchange
