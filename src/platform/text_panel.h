#pragma once
// The status log's text window. UI thread only; texts are GBK.

#include <string>

namespace pelvarine {

class TextPanel {
 public:
  virtual ~TextPanel() = default;
  virtual std::string GetText() = 0;                  // the whole text
  virtual void SetText(const std::string& text) = 0;  // replaces the whole text and shows it from its top
  virtual void ScrollLines(int columns, int lines) = 0;
  // Display rows as laid out (a wrapped line counts each row; the empty row after a final line break
  // counts too), the first row shown, and how many rows the panel shows at once.
  virtual int LineCount() = 0;
  virtual int FirstVisibleLine() = 0;
  virtual int VisibleLineCount() = 0;
};

}  // namespace pelvarine
