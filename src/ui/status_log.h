#pragma once
// The status log: the one way the program tells the user what it does. The panel keeps only the last few
// lines: an append that finds more than 60 bytes of text empties the panel first. The newest line is
// always in view, and older ones too while they fit. UI thread only.

#include <string>
#include <string_view>

#include "platform/text_panel.h"

namespace pelvarine {

constexpr size_t kStatusLogKeepBytes = 60;
constexpr std::string_view kCrLf = "\r\n";

class StatusLog {
 public:
  explicit StatusLog(TextPanel& panel) : panel_(panel) {}

  void AppendStatusLine(std::string_view text);
  void ClearStatusLog();

  void SetLineTerminator(std::string_view terminator) { line_terminator_ = terminator; }
  const std::string& LineTerminator() const { return line_terminator_; }

 private:
  void ShowNewestLine(bool ends_with_break);

  TextPanel& panel_;
  std::string line_terminator_;
};

}  // namespace pelvarine
