#pragma once
// The main window's controls that the core drives: dial inputs, lights and timers. UI thread only;
// texts are GBK.

#include <string>

namespace pelvarine {

class MainWindowControls {
 public:
  virtual ~MainWindowControls() = default;
  virtual void SetPasswordChar(char c) = 0;
  virtual void ShowDepartmentList(bool shown) = 0;
  virtual void ShowNumberInputs(bool shown) = 0;  // the number edit and the password edit
  virtual int DepartmentRowCount() = 0;
  virtual void DeleteDepartmentRow(int row) = 0;
  virtual void AddDepartmentRow(const std::string& name) = 0;
  virtual void SelectDepartmentRow(int row) = 0;
  virtual int SelectedDepartmentRow() = 0;  // -1 when none
  virtual std::string DepartmentRowText(int row) = 0;
  virtual std::string NumberText() = 0;
  virtual std::string PasswordText() = 0;
  virtual void ShowTalkingLight(bool shown) = 0;
  virtual void ShowOnlineLight(bool shown) = 0;
  virtual void StartTimer(int id, int period_ms) = 0;
  virtual void StopTimer(int id) = 0;
  // Clicks every child of the window captioned "HalvenorTavisk" whose text is "内线".
  virtual void AutoClickInternalLine() = 0;
};

}  // namespace pelvarine
