// uiprobe: finds the client's window by its caption and drives or reads it, for tests run under Wine.
//
//   uiprobe wait-window [ms]          exit 0 once the window exists
//   uiprobe log                       the status log's text, as UTF-8
//   uiprobe wait-log TEXT [ms]        exit 0 once the log contains TEXT (UTF-8)
//   uiprobe click ID                  a left press and release at (0,0) on the child control ID
//   uiprobe select ROW                selects a row of the department list
//   uiprobe rows                      the department list's rows, one per line, and the selected row
//   uiprobe lights                    "online=0|1 talking=0|1"
//   uiprobe watch-lights MS STEP      samples the lights every STEP ms for MS ms: "online_flips=N talking_flips=M"
//   uiprobe geometry                  "x y width height" of the window
//   uiprobe esc                       the Esc key, as a person presses it in the window
//   uiprobe alive                     exit 0 while the window exists
// Exit status: 0 done, 1 not found or timed out, 2 bad usage.

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kCaption[] = L"HalvenorTavisk";
constexpr int kStatusLogId = 105;
constexpr int kDepartmentListId = 1002;
constexpr int kOnlineLightId = 1000;
constexpr int kTalkingLightId = 1001;

std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
  return out;
}

void Print(const std::string& text) {
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
}

HWND FindClient() { return FindWindowW(nullptr, kCaption); }

std::wstring TextOf(HWND window) {
  // WM_GETTEXT crosses processes; the W form keeps Chinese intact whatever the code page.
  LRESULT length = SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
  std::vector<wchar_t> text(static_cast<size_t>(length) + 1, L'\0');
  SendMessageW(window, WM_GETTEXT, static_cast<WPARAM>(text.size()), reinterpret_cast<LPARAM>(text.data()));
  return text.data();
}

bool WaitFor(int timeout_ms, bool (*ready)(const std::string&), const std::string& arg) {
  DWORD start = GetTickCount();
  for (;;) {
    if (ready(arg)) return true;
    if (static_cast<int>(GetTickCount() - start) >= timeout_ms) return false;
    Sleep(25);
  }
}

bool WindowExists(const std::string&) { return FindClient() != nullptr; }

bool LogContains(const std::string& text) {
  HWND window = FindClient();
  if (!window) return false;
  return Utf8(TextOf(GetDlgItem(window, kStatusLogId))).find(text) != std::string::npos;
}

bool Visible(HWND window, int id) { return IsWindowVisible(GetDlgItem(window, id)) != FALSE; }

int Run(const std::vector<std::string>& args) {
  if (args.empty()) return 2;
  const std::string& command = args[0];
  auto number = [&](size_t i, int fallback) { return i < args.size() ? std::stoi(args[i]) : fallback; };

  if (command == "wait-window") return WaitFor(number(1, 10000), &WindowExists, "") ? 0 : 1;
  if (command == "wait-log" && args.size() >= 2) return WaitFor(number(2, 10000), &LogContains, args[1]) ? 0 : 1;

  HWND window = FindClient();
  if (!window) {
    Print("no window\n");
    return 1;
  }
  if (command == "alive") return 0;
  if (command == "log") {
    Print(Utf8(TextOf(GetDlgItem(window, kStatusLogId))));
    return 0;
  }
  if (command == "click" && args.size() >= 2) {
    HWND control = GetDlgItem(window, number(1, 0));
    if (!control) return 1;
    PostMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, 0);
    PostMessageW(control, WM_LBUTTONUP, 0, 0);
    return 0;
  }
  if (command == "select" && args.size() >= 2) {
    LRESULT r = SendMessageW(GetDlgItem(window, kDepartmentListId), CB_SETCURSEL, number(1, 0), 0);
    return r == CB_ERR ? 1 : 0;
  }
  if (command == "rows") {
    HWND list = GetDlgItem(window, kDepartmentListId);
    LRESULT count = SendMessageW(list, CB_GETCOUNT, 0, 0);
    for (LRESULT row = 0; row < count; ++row) {
      LRESULT length = SendMessageW(list, CB_GETLBTEXTLEN, row, 0);
      std::vector<wchar_t> text(static_cast<size_t>(length) + 1, L'\0');
      SendMessageW(list, CB_GETLBTEXT, row, reinterpret_cast<LPARAM>(text.data()));
      Print(Utf8(text.data()) + "\n");
    }
    Print("selected=" + std::to_string(SendMessageW(list, CB_GETCURSEL, 0, 0)) + "\n");
    return 0;
  }
  if (command == "lights") {
    Print("online=" + std::to_string(Visible(window, kOnlineLightId)) +
          " talking=" + std::to_string(Visible(window, kTalkingLightId)) + "\n");
    return 0;
  }
  if (command == "watch-lights") {
    int duration = number(1, 2000), step = number(2, 10);
    bool online = Visible(window, kOnlineLightId), talking = Visible(window, kTalkingLightId);
    int online_flips = 0, talking_flips = 0;
    for (DWORD start = GetTickCount(); static_cast<int>(GetTickCount() - start) < duration; Sleep(step)) {
      bool o = Visible(window, kOnlineLightId), t = Visible(window, kTalkingLightId);
      online_flips += o != online;
      talking_flips += t != talking;
      online = o;
      talking = t;
    }
    Print("online_flips=" + std::to_string(online_flips) + " talking_flips=" + std::to_string(talking_flips) + "\n");
    return 0;
  }
  if (command == "geometry") {
    RECT r;
    GetWindowRect(window, &r);
    Print(std::to_string(r.left) + " " + std::to_string(r.top) + " " + std::to_string(r.right - r.left) + " " +
          std::to_string(r.bottom - r.top) + "\n");
    return 0;
  }
  if (command == "esc") {
    // The dialog manager turns Esc in any of its controls into the Cancel command.
    HWND target = GetDlgItem(window, kDepartmentListId);
    HWND edit = FindWindowExW(target, nullptr, L"Edit", nullptr);
    if (edit) target = edit;
    PostMessageW(target, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageW(target, WM_KEYUP, VK_ESCAPE, 0xC0010001);
    return 0;
  }
  return 2;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(Utf8(argv[i]));
  LocalFree(argv);
  try {
    return Run(args);
  } catch (...) {
    return 2;
  }
}
