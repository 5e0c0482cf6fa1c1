#include "ui/main_window.h"

#include <cstring>

namespace pelvarine {

namespace {
constexpr std::string_view kMakerLine = "Corvalis 制作";
constexpr std::string_view kVersionLine = "Ver2.0.05.10.30";
constexpr std::string_view kInformationCaption = "Tavisk";
}  // namespace

const std::vector<FontSpec>& PaintedFonts() {
  static const std::vector<FontSpec> fonts = {
      {FontRole::kVenue, 24, {"华文行楷", "华文楷体", "楷体", "楷体_GB2312", "宋体"}},
      {FontRole::kMaker, 12, {"隶书", "华文隶书", "楷体", "楷体_GB2312", "宋体"}},
      {FontRole::kLabel, 12, {"宋体", "新宋体"}},
      {FontRole::kProduct, 18, {"华文彩云", "华文琥珀", "幼圆", "黑体", "宋体"}},
  };
  return fonts;
}

void MainWindow::FillDepartmentList() {
  for (auto& slot : extensions_)
    slot.fill(0);
  for (int rows = controls_.DepartmentRowCount(); rows > 0; --rows)
    controls_.DeleteDepartmentRow(0);
  for (size_t row = 0; row < kDepartments.size(); ++row) {
    controls_.AddDepartmentRow(std::string(kDepartments[row].name));
    std::string_view extension = kDepartments[row].extension;
    std::memcpy(extensions_[row].data(), extension.data(), extension.size());
  }
  controls_.SelectDepartmentRow(0);
}

void MainWindow::ShowDialControls() {
  controls_.SetPasswordChar('*');
  bool direct = dial_mode_ == DialMode::kDirectNumber;
  controls_.ShowNumberInputs(direct);
  controls_.ShowDepartmentList(!direct);
}

std::string_view MainWindow::Extension(int row) const {
  if (row < 0 || static_cast<size_t>(row) >= kExtensionSlots) return {};
  return std::string_view(extensions_[row].data());
}

void MainWindow::HideOnlineLight() {
  online_light_phase_ = 0;
  controls_.ShowOnlineLight(false);
}

void MainWindow::OnTimer(int id) {
  if (id == kAutoClickTimer) {
    controls_.StopTimer(kAutoClickTimer);
    controls_.AutoClickInternalLine();
  } else if (id == kOnlineLightTimer) {
    online_light_phase_ = online_light_phase_ == 0 ? 1 : 0;
    controls_.ShowOnlineLight(online_light_phase_ == 1);
  }
}

void MainWindow::OnRightButtonUp() {
  log_.ClearStatusLog();
  log_.AppendStatusLine(kMakerLine);
  log_.AppendStatusLine(kVersionLine);
  std::string text(kMakerLine);
  text += log_.LineTerminator();
  text += kVersionLine;
  system_.ShowMessageBox(text, std::string(kInformationCaption), kMessageBoxOk);
}

std::vector<PaintedText> MainWindow::TextsToPaint() const {
  std::vector<PaintedText> texts = {
      {"TAVISK", FontRole::kProduct, 240, 80, 80, 5, 6},
      {"Halvenor", FontRole::kVenue, 80, 80, 80, 65, 3},
      {kMakerLine, FontRole::kMaker, 10, 10, 10, 170, 178},
  };
  if (dial_mode_ == DialMode::kDirectNumber) {
    texts.push_back({"电话号码:", FontRole::kLabel, 50, 50, 50, 216, 136});
    texts.push_back({"密    码:", FontRole::kLabel, 50, 50, 50, 216, 160});
  }
  return texts;
}

}  // namespace pelvarine
