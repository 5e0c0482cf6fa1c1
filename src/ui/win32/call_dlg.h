#pragma once
// The main window: a caption-less skinned dialog. It owns its controls, fonts and skinned buttons,
// paints the skin and its texts from one composed picture, and forwards every decision to the core's
// CallClient.

#include <windows.h>

#include <array>
#include <memory>
#include <vector>

#include "app/call_client.h"
#include "platform/win32/socket_notifier.h"
#include "platform/win32/win32_clock.h"
#include "platform/win32/win32_mixer.h"
#include "platform/win32/win32_network.h"
#include "platform/win32/win32_system.h"
#include "platform/win32/win32_wave_devices.h"
#include "ui/win32/log_edit.h"
#include "ui/win32/skin_button.h"

namespace pelvarine::win32 {

// The Windows side of every port but the window's own.
struct Win32Platform {
  SocketNotifier notifier;
  Win32Network network{notifier};
  Win32WaveDevices wave;
  Win32Mixer mixer;
  Win32Clock clock;
  Win32System system;
};

class CCallDlg final : public MainWindowControls {
 public:
  CCallDlg(Win32Platform& platform, CLogEdit& status_panel);
  ~CCallDlg() override;

  // Runs the window until it is destroyed.
  INT_PTR DoModal();

  void SetPasswordChar(char c) override;
  void ShowDepartmentList(bool shown) override;
  void ShowNumberInputs(bool shown) override;
  int DepartmentRowCount() override;
  void DeleteDepartmentRow(int row) override;
  void AddDepartmentRow(const std::string& name) override;
  void SelectDepartmentRow(int row) override;
  int SelectedDepartmentRow() override;
  std::string DepartmentRowText(int row) override;
  std::string NumberText() override;
  std::string PasswordText() override;
  void ShowTalkingLight(bool shown) override;
  void ShowOnlineLight(bool shown) override;
  void StartTimer(int id, int period_ms) override;
  void StopTimer(int id) override;
  void AutoClickInternalLine() override;

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  INT_PTR Handle(UINT message, WPARAM wparam, LPARAM lparam);
  BOOL OnInitDialog();
  void AddAboutEntry();
  void PlaceTemplateControls();
  void BuildSkin();
  void CentreInWorkArea();
  void OnPaint();
  void ComposeSkin(HDC screen, const std::vector<PaintedText>& texts, int width, int height);
  void OnCommand(int id);
  // The exit clean-up, then the end of the modal run, which destroys the window.
  void DestroyWindow();

  Win32Platform& platform_;
  CLogEdit& status_panel_;
  HWND window_ = nullptr;
  HWND password_edit_ = nullptr;
  HWND number_edit_ = nullptr;
  HWND department_list_ = nullptr;
  HWND online_light_ = nullptr;
  HWND talking_light_ = nullptr;
  HICON icon_ = nullptr;
  HICON small_icon_ = nullptr;
  std::array<HFONT, 4> fonts_ = {};  // indexed by FontRole
  CSkinButton phone_button_;
  CSkinButton exit_button_;
  CSkinButton home_page_button_;
  CSkinButton minimise_button_;
  std::unique_ptr<CallClient> client_;

  // The skin with its texts, as painted; rebuilt when a text or the size changes.
  HDC composed_dc_ = nullptr;
  HBITMAP composed_bitmap_ = nullptr;
  HGDIOBJ composed_previous_ = nullptr;
  int composed_width_ = 0;
  int composed_height_ = 0;
  std::vector<PaintedText> composed_texts_;
};

}  // namespace pelvarine::win32
