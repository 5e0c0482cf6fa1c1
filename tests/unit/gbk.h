#pragma once
// Readable failure messages: the program's texts are GBK, the terminal is UTF-8.

#include <string>
#include <string_view>
#include <vector>

namespace pelvarine::testing {

std::string Utf8(std::string_view gbk);
// Lines of a status-log text, without their CR LF terminators, as UTF-8.
std::vector<std::string> Utf8Lines(std::string_view gbk);

}  // namespace pelvarine::testing
