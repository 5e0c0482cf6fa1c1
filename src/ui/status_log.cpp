#include "ui/status_log.h"

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
  panel_.ScrollLines(0, 2);
}

void StatusLog::ClearStatusLog() { panel_.SetText(std::string()); }

}  // namespace pelvarine
