#pragma once
// Picks the first installed face of a chain that can show Chinese text.

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace pelvarine::win32 {

// The first face (GBK names) that is installed with a Chinese character set; the last face of the chain
// when none is, since every chain ends in one that Chinese systems have.
std::wstring ChooseFace(const std::vector<std::string_view>& faces);

HFONT CreateFaceFont(int height, const std::vector<std::string_view>& faces);

}  // namespace pelvarine::win32
