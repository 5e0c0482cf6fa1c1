#include "ui/status_log.h"

#include <algorithm>

namespace pelvarine {

void StatusLog::AppendStatusLine(std::string_view text) {
  std::string current = panel_.GetText();
  if (current.size() > kStatusLogKeepBytes) {
    ClearStatusLog();
    current.clear();
  }
  current.append(text);
  current += line_terminator_;
  panel_.SetText(current);
  ShowNewestLine(!line_terminator_.empty());
}

// A fixed scroll may put the empty row after the last line break at the top (Windows' edit control
// does not clamp), hiding what was just appended; so the rows with text are placed to end at the
// panel's bottom row, or shown from the top while they all fit.
void StatusLog::ShowNewestLine(bool ends_with_break) {
  int text_rows = panel_.LineCount() - (ends_with_break ? 1 : 0);
  int shown = std::max(1, panel_.VisibleLineCount());
  int wanted_first = std::max(0, text_rows - shown);
  int by = wanted_first - panel_.FirstVisibleLine();
  if (by != 0) panel_.ScrollLines(0, by);
}

void StatusLog::ClearStatusLog() {
  panel_.SetText(std::string());
}

}  // namespace pelvarine
