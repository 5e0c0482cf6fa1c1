// The program's entry: one instance at a time, sockets initialised, the main window run until it closes.

#include <windows.h>
#include <winsock2.h>

#include "app/instance_mark.h"
#include "build_config.h"
#include "platform/win32/gbk_text.h"
#include "resource.h"
#include "ui/win32/call_dlg.h"

namespace pelvarine::win32 {
namespace {

static_assert(kErrorAccessDenied == ERROR_ACCESS_DENIED && kErrorAlreadyExists == ERROR_ALREADY_EXISTS);

constexpr wchar_t kInstanceName[] = L"QMRPLT_Morvanelle";

// Made during static initialisation, so its font and brush exist before any window.
CLogEdit g_status_panel;

class CCallApp {
 public:
  // Always false: the process ends when this returns.
  bool InitInstance();

 private:
  static void BringRunningInstanceForward();
};

void CCallApp::BringRunningInstanceForward() {
  for (HWND window = GetWindow(GetDesktopWindow(), GW_CHILD); window && IsWindow(window);
       window = GetWindow(window, GW_HWNDNEXT)) {
    if (GetPropW(window, kInstanceName)) {
      // The other instance's thread may be busy (a call being placed, a message box): ask, never wait.
      if (IsIconic(window)) ShowWindowAsync(window, SW_RESTORE);
      SetForegroundWindow(window);
      return;
    }
  }
  MessageBoxW(nullptr, WideFromGbk("已有一个Morvanelle在运行，但找不到它的主窗口！").c_str(),
              WideFromGbk(PELVARINE_PRODUCT_NAME).c_str(), MB_OK | MB_ICONINFORMATION);
}

bool CCallApp::InitInstance() {
  // Never closed: it marks this instance until the process ends.
  HANDLE mutex = CreateMutexW(nullptr, FALSE, kInstanceName);
  if (ReadInstanceMark(mutex != nullptr, GetLastError()) == InstanceMark::kAnotherRuns) {
    if (mutex) CloseHandle(mutex);
    BringRunningInstanceForward();
    return false;
  }
  WSADATA sockets;
  if (WSAStartup(MAKEWORD(2, 2), &sockets) != 0) {
    wchar_t text[256] = {};
    LoadStringW(GetModuleHandleW(nullptr), IDS_SOCKETS_INIT_FAILED, text, 256);
    MessageBoxW(nullptr, text, WideFromGbk(PELVARINE_PRODUCT_NAME).c_str(), MB_OK);
    return false;
  }
  {
    Win32Platform platform;
    CCallDlg dialog(platform, g_status_panel);
    dialog.DoModal();
  }
  WSACleanup();
  return false;
}

}  // namespace
}  // namespace pelvarine::win32

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  pelvarine::win32::CCallApp app;
  app.InitInstance();
  return 0;
}
