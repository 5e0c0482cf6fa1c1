#include "ui/win32/font_faces.h"

#include "platform/win32/gbk_text.h"

namespace pelvarine::win32 {
namespace {

int CALLBACK NoteChineseFace(const LOGFONTW* font, const TEXTMETRICW*, DWORD, LPARAM found) {
  if (font->lfCharSet == GB2312_CHARSET || font->lfCharSet == CHINESEBIG5_CHARSET) {
    *reinterpret_cast<bool*>(found) = true;
    return 0;
  }
  return 1;
}

bool IsInstalledChineseFace(HDC dc, const std::wstring& face) {
  LOGFONTW query = {};
  query.lfCharSet = DEFAULT_CHARSET;
  lstrcpynW(query.lfFaceName, face.c_str(), LF_FACESIZE);
  bool found = false;
  EnumFontFamiliesExW(dc, &query, &NoteChineseFace, reinterpret_cast<LPARAM>(&found), 0);
  return found;
}

}  // namespace

std::wstring ChooseFace(const std::vector<std::string_view>& faces) {
  if (faces.empty()) return std::wstring();
  HDC dc = GetDC(nullptr);
  std::wstring chosen;
  for (std::string_view face : faces) {
    std::wstring wide = WideFromGbk(face);
    if (IsInstalledChineseFace(dc, wide)) {
      chosen = wide;
      break;
    }
  }
  ReleaseDC(nullptr, dc);
  return chosen.empty() ? WideFromGbk(faces.back()) : chosen;
}

HFONT CreateFaceFont(int height, const std::vector<std::string_view>& faces) {
  return CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0, 0,
                     DEFAULT_PITCH | FF_SWISS, ChooseFace(faces).c_str());
}

}  // namespace pelvarine::win32
