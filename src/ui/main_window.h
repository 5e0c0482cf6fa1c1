#pragma once
// What the main window decides, apart from the call itself: the department list and its extension table,
// the dial mode's controls, the timers' effects, the information box and what is painted over the skin.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "call/signal_messages.h"
#include "platform/main_window_controls.h"
#include "platform/system.h"
#include "ui/status_log.h"

namespace pelvarine {

constexpr std::string_view kWindowCaption = "HalvenorTavisk";
constexpr int kAutoClickTimer = 100;
constexpr int kAutoClickDelayMs = 10;
constexpr int kOnlineLightTimer = 300;
constexpr int kOnlineLightPeriodMs = 200;
constexpr size_t kExtensionSlots = 20;

struct Department {
  std::string_view name;
  std::string_view extension;
};

constexpr std::array<Department, 3> kDepartments = {{
    {"订房电话", "3381"},
    {"订餐电话", "3368"},
    {"营销中心", "3191"},
}};

// The four painted faces, each with the faces to try in turn when it is missing; every chain ends in a
// face that every Chinese system has and that shows the text.
enum class FontRole { kVenue, kMaker, kLabel, kProduct };

struct FontSpec {
  FontRole role;
  int height;
  std::vector<std::string_view> faces;  // first choice first, GBK
};

const std::vector<FontSpec>& PaintedFonts();

struct PaintedText {
  std::string_view text;
  FontRole font;
  uint8_t red, green, blue;
  int x, y;
};

class MainWindow {
 public:
  MainWindow(MainWindowControls& controls, StatusLog& log, System& system)
      : controls_(controls), log_(log), system_(system) {}

  void SetDialMode(DialMode mode) { dial_mode_ = mode; }
  DialMode dial_mode() const { return dial_mode_; }

  void FillDepartmentList();
  void ShowDialControls();
  // The extension of department row `row`; empty for a row without one.
  std::string_view Extension(int row) const;

  // Both lights hidden, both phases 0 (the talking light's phase belongs to the voice channel).
  void HideOnlineLight();
  void OnTimer(int id);
  // A right click on the background: the maker and version lines, and the same in a box.
  void OnRightButtonUp();

  std::vector<PaintedText> TextsToPaint() const;

  int online_light_phase() const { return online_light_phase_; }

 private:
  MainWindowControls& controls_;
  StatusLog& log_;
  System& system_;
  DialMode dial_mode_ = DialMode::kDepartment;
  std::array<std::array<char, 64>, kExtensionSlots> extensions_{};
  int online_light_phase_ = 0;
};

}  // namespace pelvarine
