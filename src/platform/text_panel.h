#pragma once
// The status log's text window. UI thread only; texts are GBK.

#include <string>

namespace pelvarine {

class TextPanel {
 public:
  virtual ~TextPanel() = default;
  virtual std::string GetText() = 0;                 // the whole text
  virtual void SetText(const std::string& text) = 0;  // replaces the whole text
  virtual void ScrollLines(int columns, int lines) = 0;
};

}  // namespace pelvarine
