#pragma once
// The skinned push button: a button window whose painting and left-button handling are its own, three
// pictures chosen by SkinButtonState, and its command posted to the parent. Whatever the platform's
// button code draws is painted over at once (see skin_button_routing.h).

#include <windows.h>

#include <string>

#include "ui/skin_button_state.h"

namespace pelvarine::win32 {

class CSkinButton {
 public:
  CSkinButton() = default;
  ~CSkinButton();
  CSkinButton(const CSkinButton&) = delete;
  CSkinButton& operator=(const CSkinButton&) = delete;

  // Creates the (hidden) button window with `caption` (GBK) at `rect` in `parent`.
  bool Create(const std::string& caption, const RECT& rect, HWND parent, int id);
  void Show() { ShowWindow(window_, SW_SHOW); }
  // Loads the three pictures, resets the state, and moves and sizes the button to the normal picture.
  void SetSkin(int x, int y, int normal_id, int pressed_id, int hover_id, const std::string& caption);

  HWND window() const { return window_; }
  const SkinButtonState& state() const { return state_; }

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);
  void Apply(const SkinButtonActions& actions);
  void Paint();
  void DrawPicture(HDC dc, SkinPicture which);

  HWND window_ = nullptr;
  WNDPROC base_proc_ = nullptr;
  HBITMAP normal_ = nullptr;
  HBITMAP pressed_ = nullptr;
  HBITMAP hover_ = nullptr;
  HDC memory_ = nullptr;  // holds a picture only while one is copied
  SkinButtonState state_;
  SkinPicture shown_ = SkinPicture::kNormal;  // what the last paint showed
};

}  // namespace pelvarine::win32
