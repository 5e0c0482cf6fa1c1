#pragma once
// The small ports: clock, system, status panel and the window's controls.

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/main_window_controls.h"
#include "platform/system.h"
#include "platform/text_panel.h"

namespace pelvarine::testing {

// Time moves only when a test or a Sleep moves it.
class FakeClock final : public Clock {
 public:
  int64_t MonotonicMs() override { return now_ms.load(); }
  void Sleep(int ms) override {
    now_ms += ms;
    {
      std::lock_guard<std::mutex> lock(mutex);
      sleeps.push_back(ms);
    }
    if (on_sleep) on_sleep(ms);
  }
  std::vector<int> Sleeps() {
    std::lock_guard<std::mutex> lock(mutex);
    return sleeps;
  }
  std::atomic<int64_t> now_ms{1'000'000};
  std::mutex mutex;
  std::vector<int> sleeps;
  std::function<void(int)> on_sleep;  // runs on the sleeping thread, after the time has moved
};

class FakeSystem final : public System {
 public:
  bool HostName(std::string* name) override {
    *name = host_name;
    return has_host_name;
  }
  std::vector<std::array<uint8_t, 4>> HostAddresses(const std::string& name) override {
    looked_up.push_back(name);
    return addresses;
  }
  bool InternetConnectedState(uint32_t* flags) override {
    ++connection_queries;
    *flags = connection_flags;
    return connected;
  }
  bool ReadBrowserCommand(std::string* command) override {
    *command = browser_command;
    return has_browser_command;
  }
  void RunProgram(const std::string& command_line) override { programs.push_back(command_line); }
  void ShowMessageBox(const std::string& text, const std::string& caption, unsigned type) override {
    boxes.push_back({text, caption, type});
  }

  struct Box {
    std::string text, caption;
    unsigned type;
  };
  bool has_host_name = true;
  std::string host_name = "visitor-pc";
  std::vector<std::array<uint8_t, 4>> addresses = {{192, 168, 1, 20}};
  std::vector<std::string> looked_up;
  bool connected = true;
  uint32_t connection_flags = 0x2;
  int connection_queries = 0;
  bool has_browser_command = true;
  std::string browser_command = "\"C:\\Program Files\\Browser\\browser.exe\" -nohome ";
  std::vector<std::string> programs;
  std::vector<Box> boxes;
};

class FakeTextPanel final : public TextPanel {
 public:
  std::string GetText() override { return text; }
  void SetText(const std::string& t) override {
    text = t;
    first_visible = 0;
    ++sets;
    // The status log sets the whole text once per appended line: its last line is the new one.
    if (t.size() >= 2 && t.compare(t.size() - 2, 2, "\r\n") == 0) {
      size_t start = t.rfind("\r\n", t.size() - 3);
      start = start == std::string::npos || t.size() < 3 ? 0 : start + 2;
      appended.push_back(t.substr(start, t.size() - 2 - start));
    }
  }
  // As Windows' edit control: a scroll moves the first shown row by `lines`, and may go as far as the
  // last row (the empty one after a final line break), not only until the last row is at the bottom.
  void ScrollLines(int columns, int lines) override {
    scrolls.push_back({columns, lines});
    first_visible = std::max(0, std::min(first_visible + lines, LineCount() - 1));
  }
  // Each line takes as many rows as `row_bytes` wide rows it needs (at least one).
  int LineCount() override {
    int rows = 0;
    size_t start = 0;
    for (;;) {
      size_t end = text.find("\r\n", start);
      size_t length = (end == std::string::npos ? text.size() : end) - start;
      rows += length == 0 ? 1 : static_cast<int>((length + row_bytes - 1) / row_bytes);
      if (end == std::string::npos) return rows;
      start = end + 2;
    }
  }
  int FirstVisibleLine() override { return first_visible; }
  int VisibleLineCount() override { return visible_rows; }
  // The rows in view, as text, rows of wrapped lines cut at `row_bytes`.
  std::vector<std::string> ShownRows() {
    std::vector<std::string> rows;
    size_t start = 0;
    for (;;) {
      size_t end = text.find("\r\n", start);
      std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
      if (line.empty()) rows.emplace_back();
      for (size_t at = 0; at < line.size(); at += row_bytes)
        rows.push_back(line.substr(at, row_bytes));
      if (end == std::string::npos) break;
      start = end + 2;
    }
    std::vector<std::string> shown;
    for (int row = first_visible; row < first_visible + visible_rows && row < static_cast<int>(rows.size());
         ++row)
      shown.push_back(rows[static_cast<size_t>(row)]);
    return shown;
  }

  std::string text;
  int first_visible = 0;
  int visible_rows = 6;
  size_t row_bytes = 28;
  std::vector<std::string> appended;  // every line ever appended, GBK, in order
  int sets = 0;
  std::vector<std::pair<int, int>> scrolls;
};

class FakeControls final : public MainWindowControls {
 public:
  void SetPasswordChar(char c) override { password_char = c; }
  void ShowDepartmentList(bool shown) override { department_list_shown = shown; }
  void ShowNumberInputs(bool shown) override { number_inputs_shown = shown; }
  int DepartmentRowCount() override { return static_cast<int>(rows.size()); }
  void DeleteDepartmentRow(int row) override {
    rows.erase(rows.begin() + row);
    if (selected >= static_cast<int>(rows.size())) selected = -1;
  }
  void AddDepartmentRow(const std::string& name) override { rows.push_back(name); }
  void SelectDepartmentRow(int row) override { selected = row; }
  int SelectedDepartmentRow() override { return selected; }
  std::string DepartmentRowText(int row) override {
    return row >= 0 && row < static_cast<int>(rows.size()) ? rows[row] : std::string();
  }
  std::string NumberText() override { return number; }
  std::string PasswordText() override { return password; }
  void ShowTalkingLight(bool shown) override {
    talking_light = shown;
    ++talking_light_changes;
  }
  void ShowOnlineLight(bool shown) override { online_light = shown; }
  void StartTimer(int id, int period_ms) override { timers[id] = period_ms; }
  void StopTimer(int id) override { timers.erase(id); }
  void AutoClickInternalLine() override { ++auto_clicks; }

  char password_char = 0;
  bool department_list_shown = false;
  bool number_inputs_shown = true;
  std::vector<std::string> rows;
  int selected = -1;
  std::string number, password;
  bool talking_light = true;
  int talking_light_changes = 0;
  bool online_light = true;
  std::map<int, int> timers;
  int auto_clicks = 0;
};

}  // namespace pelvarine::testing
