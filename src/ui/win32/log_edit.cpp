#include "ui/win32/log_edit.h"

#include <vector>

#include "platform/win32/gbk_text.h"

namespace pelvarine::win32 {
namespace {
constexpr COLORREF kPanelTeal = RGB(26, 175, 168);
constexpr COLORREF kTextGreen = RGB(150, 255, 10);
}  // namespace

CLogEdit::CLogEdit() {
  font_ = CreateFontW(12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0, 0, FF_SWISS,
                      WideFromGbk("宋体").c_str());
  brush_ = CreateSolidBrush(kPanelTeal);
}

CLogEdit::~CLogEdit() {
  DeleteObject(brush_);
  DeleteObject(font_);
}

void CLogEdit::Create(HWND parent, int id, const RECT& rect) {
  window_ =
      CreateWindowExW(0, L"EDIT", L"", WS_CHILD | ES_MULTILINE | ES_READONLY, rect.left, rect.top,
                      rect.right - rect.left, rect.bottom - rect.top, parent,
                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
  // The colour handler selects the font for drawing; the control also lays its lines out with it, so
  // they wrap where the drawn text really ends.
  SendMessageW(window_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  ShowWindow(window_, SW_SHOW);
}

HBRUSH CLogEdit::OnCtlColor(HDC dc) {
  SetTextColor(dc, kTextGreen);
  SetBkMode(dc, TRANSPARENT);
  SelectObject(dc, font_);
  return brush_;
}

std::string CLogEdit::GetText() {
  if (!window_) return std::string();
  int length = GetWindowTextLengthW(window_);
  std::vector<wchar_t> text(static_cast<size_t>(length) + 1, L'\0');
  GetWindowTextW(window_, text.data(), length + 1);
  return GbkFromWide(std::wstring_view(text.data()));
}

void CLogEdit::SetText(const std::string& text) {
  if (window_) SetWindowTextW(window_, WideFromGbk(text).c_str());
}

void CLogEdit::ScrollLines(int columns, int lines) {
  if (window_) SendMessageW(window_, EM_LINESCROLL, static_cast<WPARAM>(columns), static_cast<LPARAM>(lines));
}

int CLogEdit::LineCount() {
  return window_ ? static_cast<int>(SendMessageW(window_, EM_GETLINECOUNT, 0, 0)) : 0;
}

int CLogEdit::FirstVisibleLine() {
  return window_ ? static_cast<int>(SendMessageW(window_, EM_GETFIRSTVISIBLELINE, 0, 0)) : 0;
}

int CLogEdit::VisibleLineCount() {
  if (!window_) return 0;
  RECT format = {};
  SendMessageW(window_, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&format));
  HDC dc = GetDC(window_);
  HGDIOBJ previous = SelectObject(dc, font_);
  TEXTMETRICW metrics = {};
  GetTextMetricsW(dc, &metrics);
  SelectObject(dc, previous);
  ReleaseDC(window_, dc);
  int row = metrics.tmHeight > 0 ? metrics.tmHeight : 1;
  return (format.bottom - format.top) / row;
}

}  // namespace pelvarine::win32
