#include "platform/win32/socket_notifier.h"

namespace pelvarine::win32 {
namespace {
constexpr UINT kFirstSocketMessage = WM_APP + 0x100;
constexpr UINT kLastSocketMessage = 0xBFFF;
constexpr wchar_t kWindowClass[] = L"PelvarineSocketNotifier";
}  // namespace

SocketNotifier::SocketNotifier() : next_id_(kFirstSocketMessage) {
  WNDCLASSW window_class = {};
  window_class.lpfnWndProc = &SocketNotifier::WindowProc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = kWindowClass;
  RegisterClassW(&window_class);
  window_ = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                            window_class.hInstance, nullptr);
  SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

SocketNotifier::~SocketNotifier() {
  if (window_) DestroyWindow(window_);
}

UINT SocketNotifier::NextMessageId() {
  // Ids are reused only after some sixteen thousand sockets, long after any stale notification is gone.
  for (;;) {
    UINT id = next_id_;
    next_id_ = next_id_ == kLastSocketMessage ? kFirstSocketMessage : next_id_ + 1;
    if (watched_.count(id) == 0) return id;
  }
}

bool SocketNotifier::Watch(SOCKET socket, long events, SocketListener& listener, UINT* message_id) {
  UINT id = NextMessageId();
  if (WSAAsyncSelect(socket, window_, id, events) == SOCKET_ERROR) return false;
  watched_[id] = {socket, &listener};
  *message_id = id;
  return true;
}

void SocketNotifier::Forget(SOCKET socket, UINT message_id) {
  WSAAsyncSelect(socket, window_, 0, 0);
  watched_.erase(message_id);
}

void SocketNotifier::PumpPaintMessages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE))
    DispatchMessageW(&message);
}

LRESULT CALLBACK SocketNotifier::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* self = reinterpret_cast<SocketNotifier*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self && message >= kFirstSocketMessage && message <= kLastSocketMessage) {
    auto it = self->watched_.find(message);
    if (it != self->watched_.end() && it->second.socket == static_cast<SOCKET>(wparam)) {
      // The listener may destroy its socket, and with it this entry.
      it->second.listener->OnSocketEvent(WSAGETSELECTEVENT(lparam), WSAGETSELECTERROR(lparam));
    }
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace pelvarine::win32
