#pragma once
// The core's texts are GBK; the windows are driven in UTF-16, so the program shows Chinese correctly
// whatever the system's ANSI code page is.

#include <string>
#include <string_view>

namespace pelvarine::win32 {

std::wstring WideFromGbk(std::string_view gbk);
// Characters GBK cannot hold become '?'.
std::string GbkFromWide(std::wstring_view wide);

}  // namespace pelvarine::win32
