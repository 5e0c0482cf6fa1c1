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

// The offset of the first byte of `text` that is not part of well-formed UTF-8, or npos.
size_t FindInvalidUtf8(std::string_view text);

// A value as written (UTF-8), its control characters shown as \xNN so a message stays one plain line.
std::string ShowValue(std::string_view text);

// Whether an IPv4 address lies in a range reserved for documentation (192.0.2.0/24, 198.51.100.0/24,
// 203.0.113.0/24): an example copied into a real file.
bool IsDocumentationAddress(std::string_view ipv4);

// "a, b,c" → {"a", "b", "c"}; empty items are kept so "a,,b" can be reported.
std::vector<std::string> SplitList(std::string_view text);

}  // namespace exchange
