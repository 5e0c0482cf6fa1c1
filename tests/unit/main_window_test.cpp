#include "ui/main_window.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "fakes/fake_ports.h"
#include "gbk.h"

namespace pelvarine {
namespace {

using ::testing::ElementsAre;
using testing::FakeControls;
using testing::FakeSystem;
using testing::FakeTextPanel;
using testing::Utf8;
using testing::Utf8Lines;

class MainWindowTest : public ::testing::Test {
 protected:
  MainWindowTest() { log.SetLineTerminator(kCrLf); }
  std::vector<std::string> RowsUtf8() {
    std::vector<std::string> rows;
    for (const std::string& row : controls.rows)
      rows.push_back(Utf8(row));
    return rows;
  }
  FakeControls controls;
  FakeTextPanel panel;
  StatusLog log{panel};
  FakeSystem system;
  MainWindow window{controls, log, system};
};

// ---- Department list ------------------------------------------------------------------------------

TEST_F(MainWindowTest, DepartmentListHoldsTheThreeRowsInOrderWithRowZeroSelected) {
  window.FillDepartmentList();
  EXPECT_THAT(RowsUtf8(), ElementsAre(u8"订房电话", u8"订餐电话", u8"营销中心"));
  EXPECT_EQ(controls.rows[0], "订房电话");  // GBK, as the list shows it
  EXPECT_EQ(controls.selected, 0);
  EXPECT_EQ(window.Extension(0), "3381");
  EXPECT_EQ(window.Extension(1), "3368");
  EXPECT_EQ(window.Extension(2), "3191");
  for (int slot = 3; slot < 20; ++slot)
    EXPECT_EQ(window.Extension(slot), "") << slot;
  EXPECT_EQ(window.Extension(-1), "");
  EXPECT_EQ(window.Extension(20), "");
}

TEST_F(MainWindowTest, RefillingReplacesWhateverTheListHeld) {
  window.FillDepartmentList();
  controls.selected = 2;
  window.FillDepartmentList();
  EXPECT_EQ(controls.rows.size(), 3u);
  EXPECT_EQ(controls.selected, 0);

  controls.rows = {"a", "b", "c", "d", "e"};
  window.FillDepartmentList();
  EXPECT_THAT(RowsUtf8(), ElementsAre(u8"订房电话", u8"订餐电话", u8"营销中心"));
}

// ---- Dial controls --------------------------------------------------------------------------------

TEST_F(MainWindowTest, DepartmentModeShowsTheListAndHidesTheNumberInputs) {
  controls.department_list_shown = false;
  controls.number_inputs_shown = true;
  window.SetDialMode(DialMode::kDepartment);
  window.ShowDialControls();
  EXPECT_EQ(controls.password_char, '*');
  EXPECT_TRUE(controls.department_list_shown);
  EXPECT_FALSE(controls.number_inputs_shown);
}

TEST_F(MainWindowTest, DirectNumberModeShowsTheNumberInputsAndHidesTheList) {
  controls.department_list_shown = true;
  controls.number_inputs_shown = false;
  window.SetDialMode(DialMode::kDirectNumber);
  window.ShowDialControls();
  EXPECT_EQ(controls.password_char, '*');
  EXPECT_FALSE(controls.department_list_shown);
  EXPECT_TRUE(controls.number_inputs_shown);
}

// ---- Timers ---------------------------------------------------------------------------------------

TEST_F(MainWindowTest, AutoClickTimerStopsItselfAndClicksOnce) {
  controls.StartTimer(kAutoClickTimer, kAutoClickDelayMs);
  controls.StartTimer(kOnlineLightTimer, kOnlineLightPeriodMs);
  window.OnTimer(100);
  EXPECT_EQ(controls.auto_clicks, 1);
  EXPECT_EQ(controls.timers.count(100), 0u);
  EXPECT_EQ(controls.timers.count(300), 1u);  // only its own timer
}

TEST_F(MainWindowTest, OnlineLightTimerBlinksStartingWithShown) {
  window.HideOnlineLight();
  EXPECT_FALSE(controls.online_light);
  std::vector<bool> shown;
  for (int tick = 0; tick < 4; ++tick) {
    window.OnTimer(300);
    shown.push_back(controls.online_light);
    EXPECT_EQ(window.online_light_phase(), controls.online_light ? 1 : 0);
  }
  EXPECT_THAT(shown, ElementsAre(true, false, true, false));
  EXPECT_EQ(controls.timers.count(300), 0u);  // never stopped, never started here
}

TEST_F(MainWindowTest, OtherTimerIdsDoNothing) {
  window.HideOnlineLight();
  controls.StartTimer(kAutoClickTimer, kAutoClickDelayMs);
  for (int id : {0, 1, 99, 101, 104, 299, 301, 1000})
    window.OnTimer(id);
  EXPECT_FALSE(controls.online_light);
  EXPECT_EQ(window.online_light_phase(), 0);
  EXPECT_EQ(controls.auto_clicks, 0);
  EXPECT_EQ(controls.timers.count(100), 1u);
  EXPECT_EQ(controls.talking_light_changes, 0);
}

// ---- Right click ----------------------------------------------------------------------------------

TEST_F(MainWindowTest, RightClickShowsTheMakerAndVersionInTheLogAndInABox) {
  log.AppendStatusLine("Err002:地址服务器连接失败！");  // 29 bytes: without the clear it would stay
  window.OnRightButtonUp();
  EXPECT_THAT(Utf8Lines(panel.text), ElementsAre(u8"Corvalis 制作", "Ver2.0.05.10.30"));
  ASSERT_EQ(system.boxes.size(), 1u);
  EXPECT_EQ(system.boxes[0].text, "Corvalis 制作\r\nVer2.0.05.10.30");
  EXPECT_EQ(system.boxes[0].caption, "Tavisk");
  EXPECT_EQ(system.boxes[0].type, kMessageBoxOk);

  window.OnRightButtonUp();
  EXPECT_THAT(Utf8Lines(panel.text), ElementsAre(u8"Corvalis 制作", "Ver2.0.05.10.30"));
  EXPECT_EQ(system.boxes.size(), 2u);
}

// ---- Painted texts --------------------------------------------------------------------------------

struct Painted {
  std::string text;
  FontRole font;
  int red, green, blue, x, y;
  bool operator==(const Painted& o) const {
    return text == o.text && font == o.font && red == o.red && green == o.green && blue == o.blue &&
           x == o.x && y == o.y;
  }
  friend std::ostream& operator<<(std::ostream& os, const Painted& p) {
    return os << Utf8(p.text) << " font " << static_cast<int>(p.font) << " rgb(" << p.red << "," << p.green
              << "," << p.blue << ") at " << p.x << "," << p.y;
  }
};

std::vector<Painted> Texts(const MainWindow& window) {
  std::vector<Painted> texts;
  for (const PaintedText& t : window.TextsToPaint())
    texts.push_back({std::string(t.text), t.font, t.red, t.green, t.blue, t.x, t.y});
  return texts;
}

TEST_F(MainWindowTest, DepartmentModePaintsTheProductVenueAndMakerOnly) {
  window.SetDialMode(DialMode::kDepartment);
  EXPECT_THAT(Texts(window), ElementsAre(Painted{"TAVISK", FontRole::kProduct, 240, 80, 80, 5, 6},
                                         Painted{"Halvenor", FontRole::kVenue, 80, 80, 80, 65, 3},
                                         Painted{"Corvalis 制作", FontRole::kMaker, 10, 10, 10, 170, 178}));
}

TEST_F(MainWindowTest, DirectNumberModeAlsoPaintsTheTwoLabels) {
  window.SetDialMode(DialMode::kDirectNumber);
  EXPECT_THAT(Texts(window), ElementsAre(Painted{"TAVISK", FontRole::kProduct, 240, 80, 80, 5, 6},
                                         Painted{"Halvenor", FontRole::kVenue, 80, 80, 80, 65, 3},
                                         Painted{"Corvalis 制作", FontRole::kMaker, 10, 10, 10, 170, 178},
                                         Painted{"电话号码:", FontRole::kLabel, 50, 50, 50, 216, 136},
                                         Painted{"密    码:", FontRole::kLabel, 50, 50, 50, 216, 160}));
}

TEST(PaintedFonts, EachRoleHasItsSizeAndFirstFaceAndEndsInAFaceEveryChineseSystemHas) {
  struct Expected {
    FontRole role;
    int height;
    std::string first;
  };
  const std::vector<Expected> expected = {
      {FontRole::kVenue, 24, "华文行楷"},
      {FontRole::kMaker, 12, "隶书"},
      {FontRole::kLabel, 12, "宋体"},
      {FontRole::kProduct, 18, "华文彩云"},
  };
  // Installed with every Chinese edition of Windows since 2000.
  const std::set<std::string> everywhere = {"宋体", "新宋体", "黑体"};
  const std::vector<FontSpec>& fonts = PaintedFonts();
  ASSERT_EQ(fonts.size(), expected.size());
  for (const Expected& e : expected) {
    int found = 0;
    for (const FontSpec& f : fonts) {
      if (f.role != e.role) continue;
      ++found;
      EXPECT_EQ(f.height, e.height) << Utf8(e.first);
      ASSERT_FALSE(f.faces.empty());
      EXPECT_EQ(f.faces.front(), e.first);
      EXPECT_EQ(everywhere.count(std::string(f.faces.back())), 1u) << Utf8(f.faces.back());
      std::set<std::string_view> distinct(f.faces.begin(), f.faces.end());
      EXPECT_EQ(distinct.size(), f.faces.size()) << Utf8(e.first);
      for (std::string_view face : f.faces)
        EXPECT_LT(face.size(), 32u);  // a face name fits LOGFONT
    }
    EXPECT_EQ(found, 1) << Utf8(e.first);
  }
}

}  // namespace
}  // namespace pelvarine
