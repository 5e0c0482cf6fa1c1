#pragma once
// The status log's window: a read-only multi-line edit on a teal brush with bright green text. One
// instance lives for the whole process, its font and brush made before any window exists.

#include <windows.h>

#include "platform/text_panel.h"

namespace pelvarine::win32 {

class CLogEdit final : public TextPanel {
 public:
  CLogEdit();
  ~CLogEdit() override;
  CLogEdit(const CLogEdit&) = delete;
  CLogEdit& operator=(const CLogEdit&) = delete;

  // Creates and shows the panel window in `parent` at `rect` (client pixels).
  void Create(HWND parent, int id, const RECT& rect);
  HWND window() const { return window_; }

  // The colour request the parent receives for this control: text colour, transparent text, the panel's
  // font; the returned brush paints the background.
  HBRUSH OnCtlColor(HDC dc);

  std::string GetText() override;
  void SetText(const std::string& text) override;
  void ScrollLines(int columns, int lines) override;
  int LineCount() override;
  int FirstVisibleLine() override;
  int VisibleLineCount() override;

 private:
  HWND window_ = nullptr;
  HFONT font_ = nullptr;
  HBRUSH brush_ = nullptr;
};

}  // namespace pelvarine::win32
