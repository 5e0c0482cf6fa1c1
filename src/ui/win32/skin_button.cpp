#include "ui/win32/skin_button.h"

#include <windowsx.h>

#include "platform/win32/gbk_text.h"
#include "ui/skin_button_routing.h"

namespace pelvarine::win32 {

// The platform's numbers are the ones the routing table knows.
static_assert(button_message::kUpdateUiState == WM_UPDATEUISTATE &&
              button_message::kChangeUiState == WM_CHANGEUISTATE &&
              button_message::kSetState == BM_SETSTATE && button_message::kSetStyle == BM_SETSTYLE &&
              button_message::kSetCheck == BM_SETCHECK &&
              button_message::kCaptureChanged == WM_CAPTURECHANGED &&
              button_message::kMouseLeave == WM_MOUSELEAVE && button_message::kEnable == WM_ENABLE &&
              button_message::kSetText == WM_SETTEXT && button_message::kSetFont == WM_SETFONT &&
              button_message::kSetFocus == WM_SETFOCUS && button_message::kKillFocus == WM_KILLFOCUS &&
              button_message::kPaint == WM_PAINT && button_message::kEraseBackground == WM_ERASEBKGND &&
              button_message::kKeyDown == WM_KEYDOWN && button_message::kKeyUp == WM_KEYUP &&
              button_message::kChar == WM_CHAR && button_message::kSysKeyDown == WM_SYSKEYDOWN &&
              button_message::kSysKeyUp == WM_SYSKEYUP && button_message::kMouseMove == WM_MOUSEMOVE &&
              button_message::kLeftButtonDown == WM_LBUTTONDOWN &&
              button_message::kLeftButtonUp == WM_LBUTTONUP &&
              button_message::kLeftButtonDoubleClick == WM_LBUTTONDBLCLK);

CSkinButton::~CSkinButton() {
  if (memory_) DeleteDC(memory_);
  if (hover_) DeleteObject(hover_);
  if (pressed_) DeleteObject(pressed_);
  if (normal_) DeleteObject(normal_);
}

bool CSkinButton::Create(const std::string& caption, const RECT& rect, HWND parent, int id) {
  window_ =
      CreateWindowExW(0, L"BUTTON", WideFromGbk(caption).c_str(), WS_CHILD | BS_PUSHBUTTON, rect.left,
                      rect.top, rect.right - rect.left, rect.bottom - rect.top, parent,
                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
  if (!window_) return false;
  SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  base_proc_ = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CSkinButton::WindowProc)));
  return true;
}

void CSkinButton::SetSkin(int x, int y, int normal_id, int pressed_id, int hover_id,
                          const std::string& caption) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  normal_ = LoadBitmapW(instance, MAKEINTRESOURCEW(normal_id));
  pressed_ = LoadBitmapW(instance, MAKEINTRESOURCEW(pressed_id));
  hover_ = LoadBitmapW(instance, MAKEINTRESOURCEW(hover_id));
  // Loaded and selectable once: a paint only copies the chosen picture.
  if (!memory_) memory_ = CreateCompatibleDC(nullptr);
  state_.SetSkin(caption);
  BITMAP size = {};
  GetObjectW(normal_, sizeof size, &size);
  SetWindowPos(window_, nullptr, x, y, size.bmWidth, size.bmHeight, SWP_NOZORDER);
}

LRESULT CALLBACK CSkinButton::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* self = reinterpret_cast<CSkinButton*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  return self->Handle(message, wparam, lparam);
}

LRESULT CSkinButton::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (RouteButtonMessage(message)) {
    case ButtonMessageRoute::kBase:
      return CallWindowProcW(base_proc_, window_, message, wparam, lparam);
    case ButtonMessageRoute::kBaseThenRepaint: {
      LRESULT result = CallWindowProcW(base_proc_, window_, message, wparam, lparam);
      // The base may have drawn the plain button directly; the picture goes back on top before anything
      // else runs.
      HDC dc = GetDC(window_);
      DrawPicture(dc, shown_);
      ReleaseDC(window_, dc);
      return result;
    }
    case ButtonMessageRoute::kBaseThenOwn:
    case ButtonMessageRoute::kOwn:
      break;
  }
  switch (message) {
    case WM_LBUTTONDOWN:
      Apply(state_.OnPress());
      return 0;
    case WM_LBUTTONDBLCLK:
      // The second press of a double-click is no press of ours: its release posts nothing.
      return 0;
    case WM_LBUTTONUP: {
      RECT client;
      GetClientRect(window_, &client);
      POINT point = {GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
      Apply(state_.OnRelease(PtInRect(&client, point) != FALSE));
      return 0;
    }
    case WM_CAPTURECHANGED:
      Apply(state_.OnCaptureLost());
      return 0;
    case WM_MOUSEMOVE: {
      LRESULT result = CallWindowProcW(base_proc_, window_, message, wparam, lparam);
      Apply(state_.OnMove());
      TRACKMOUSEEVENT track = {sizeof track, TME_LEAVE, window_, 0};
      TrackMouseEvent(&track);
      return result;
    }
    case WM_MOUSELEAVE:
      Apply(state_.OnLeave());
      return 0;
    case WM_ERASEBKGND:
      return 1;  // the picture covers the whole button
    case WM_PAINT:
      Paint();
      return 0;
    default:
      return CallWindowProcW(base_proc_, window_, message, wparam, lparam);
  }
}

void CSkinButton::Apply(const SkinButtonActions& actions) {
  if (actions.capture_mouse) SetCapture(window_);
  if (actions.release_mouse) ReleaseCapture();
  if (actions.post_command) {
    PostMessageW(GetParent(window_), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(window_), BN_CLICKED),
                 reinterpret_cast<LPARAM>(window_));
  }
  if (actions.repaint) InvalidateRect(window_, nullptr, FALSE);
}

void CSkinButton::Paint() {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window_, &paint);
  shown_ = state_.OnPaint();
  DrawPicture(dc, shown_);
  EndPaint(window_, &paint);
  if (state_.RepaintPending()) InvalidateRect(window_, nullptr, FALSE);
}

void CSkinButton::DrawPicture(HDC dc, SkinPicture which) {
  HBITMAP picture = normal_;
  if (which == SkinPicture::kPressed) picture = pressed_;
  if (which == SkinPicture::kHover) picture = hover_;
  if (!picture || !memory_) return;
  HGDIOBJ previous = SelectObject(memory_, picture);
  RECT client;
  GetClientRect(window_, &client);
  BitBlt(dc, 0, 0, client.right - client.left, client.bottom - client.top, memory_, 0, 0, SRCCOPY);
  SelectObject(memory_, previous);
}

}  // namespace pelvarine::win32
