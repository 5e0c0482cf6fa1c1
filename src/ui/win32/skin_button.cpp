#include "ui/win32/skin_button.h"

#include <windowsx.h>

#include "platform/win32/gbk_text.h"

namespace pelvarine::win32 {

CSkinButton::~CSkinButton() {
  if (hover_) DeleteObject(hover_);
  if (pressed_) DeleteObject(pressed_);
  if (normal_) DeleteObject(normal_);
}

bool CSkinButton::Create(const std::string& caption, const RECT& rect, HWND parent, int id) {
  window_ = CreateWindowExW(0, L"BUTTON", WideFromGbk(caption).c_str(), WS_CHILD | BS_PUSHBUTTON, rect.left,
                            rect.top, rect.right - rect.left, rect.bottom - rect.top, parent,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
  if (!window_) return false;
  SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  base_proc_ = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CSkinButton::WindowProc)));
  return true;
}

void CSkinButton::SetSkin(int x, int y, int normal_id, int pressed_id, int hover_id, const std::string& caption) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  normal_ = LoadBitmapW(instance, MAKEINTRESOURCEW(normal_id));
  pressed_ = LoadBitmapW(instance, MAKEINTRESOURCEW(pressed_id));
  hover_ = LoadBitmapW(instance, MAKEINTRESOURCEW(hover_id));
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
  HDC memory = CreateCompatibleDC(dc);
  HBITMAP picture = normal_;
  switch (state_.OnPaint()) {
    case SkinPicture::kPressed:
      picture = pressed_;
      break;
    case SkinPicture::kHover:
      picture = hover_;
      break;
    case SkinPicture::kNormal:
      break;
  }
  HGDIOBJ previous = SelectObject(memory, picture);
  RECT client;
  GetClientRect(window_, &client);
  BitBlt(dc, 0, 0, client.right - client.left, client.bottom - client.top, memory, 0, 0, SRCCOPY);
  SelectObject(memory, previous);
  DeleteDC(memory);
  EndPaint(window_, &paint);
}

}  // namespace pelvarine::win32
