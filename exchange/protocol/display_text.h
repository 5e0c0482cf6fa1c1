// Text helpers for the log: GBK display, escaping and timestamps.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace exchange {

// Converts GBK bytes into readable UTF-8: printable ASCII is kept, valid GBK double-byte characters are
// converted, a backslash becomes "\\" and every other byte is shown as \xHH.
std::string GbkToDisplay(std::string_view bytes);

// Wall-clock time as "YYYY-MM-DD HH:MM:SS.mmm" (local time).
std::string FormatWallClock(std::chrono::system_clock::time_point when);

// Removes leading and trailing spaces.
std::string TrimSpaces(std::string_view text);

}  // namespace exchange
