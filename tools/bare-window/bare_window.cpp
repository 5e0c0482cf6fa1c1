// bare-window: the yardstick of the client's CPU benchmark. A plain window of the client's size with
// two small static controls: one flips every 200 ms, the other at each UDP datagram that arrives on a
// port, announced by the same socket notification the client uses. No skin, no texts, no logic.
//
//   bare-window.exe PORT SECONDS      flips for SECONDS, then exits (0; 1 when the port cannot be bound)

#include <windows.h>
#include <winsock2.h>

#include <cstdlib>

namespace {

constexpr UINT kDatagramMessage = WM_APP + 1;
constexpr UINT_PTR kBlinkTimer = 1;
constexpr UINT_PTR kEndTimer = 2;

HWND g_blink = nullptr;
HWND g_flip = nullptr;
SOCKET g_socket = INVALID_SOCKET;
bool g_blink_on = false;
bool g_flip_on = false;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_TIMER:
      if (wparam == kBlinkTimer) {
        g_blink_on = !g_blink_on;
        ShowWindow(g_blink, g_blink_on ? SW_SHOW : SW_HIDE);
      } else if (wparam == kEndTimer) {
        DestroyWindow(window);
      }
      return 0;
    case kDatagramMessage: {
      char datagram[160];
      if (recv(g_socket, datagram, sizeof datagram, 0) >= 0) {
        g_flip_on = !g_flip_on;
        ShowWindow(g_flip, g_flip_on ? SW_SHOW : SW_HIDE);
      }
      return 0;
    }
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  int port = __argc > 1 ? std::atoi(__argv[1]) : 0;
  int seconds = __argc > 2 ? std::atoi(__argv[2]) : 0;
  if (port <= 0 || port > 65535 || seconds <= 0) return 2;

  WSADATA sockets;
  if (WSAStartup(MAKEWORD(2, 2), &sockets) != 0) return 1;
  g_socket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in local = {};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<u_short>(port));
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (g_socket == INVALID_SOCKET || bind(g_socket, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
    return 1;

  WNDCLASSW type = {};
  type.lpfnWndProc = WindowProc;
  type.hInstance = instance;
  type.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
  type.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  type.lpszClassName = L"BareWindow";
  RegisterClassW(&type);
  HWND window = CreateWindowExW(0, L"BareWindow", L"BareWindow", WS_POPUP | WS_VISIBLE, 100, 100, 373, 195,
                                nullptr, nullptr, instance, nullptr);
  g_blink = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_BLACKRECT, 251, 35, 12, 12, window,
                            nullptr, instance, nullptr);
  g_flip = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_BLACKRECT, 312, 36, 12, 12, window,
                           nullptr, instance, nullptr);
  WSAAsyncSelect(g_socket, window, kDatagramMessage, FD_READ);
  SetTimer(window, kBlinkTimer, 200, nullptr);
  SetTimer(window, kEndTimer, static_cast<UINT>(seconds) * 1000u, nullptr);

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  closesocket(g_socket);
  WSACleanup();
  return 0;
}
