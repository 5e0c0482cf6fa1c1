// uiprobe: finds the client's window by its caption and drives or reads it, for tests run under Wine.
//
//   uiprobe wait-window [ms]          exit 0 once the window exists
//   uiprobe log                       the status log's text, as UTF-8
//   uiprobe wait-log TEXT [ms]        exit 0 once the log contains TEXT (UTF-8)
//   uiprobe click ID                  a left press and release at (0,0) on the child control ID
//   uiprobe select ROW                selects a row of the department list
//   uiprobe rows                      the department list's rows, one per line, and the selected row
//   uiprobe lights                    "online=0|1 talking=0|1"
//   uiprobe watch-lights MS STEP      samples the lights every STEP ms for MS ms: "online_flips=N
//   talking_flips=M" uiprobe geometry                  "x y width height" of the window uiprobe esc the Esc
//   key, as a person presses it in the window uiprobe alive                     exit 0 while the window
//   exists uiprobe wait-gone [ms]            exit 0 once no window has the caption uiprobe count the number
//   of top-level windows with the caption uiprobe text ID                   the text of the child control ID,
//   as UTF-8 uiprobe follow-log MS [STEP]      for MS ms (or until the window goes away), samples the status
//   log
//                                     every STEP ms (default 10) and prints each line once, as it appears
//   uiprobe transcript MS [STEP]      like follow-log, but first waits (within MS) for the window to appear:
//                                     started before the client, it misses none of its lines
//   uiprobe host-addresses            this machine's host name, then each IPv4 address its lookup lists
//   uiprobe instance                  "mutex=0|1 windows=N": whether the client's single-instance mutex
//                                     exists and how many windows have the caption
//   uiprobe wait-free [ms]            exit 0 once neither the mutex nor a window with the caption exists
//   uiprobe state                     "iconic=0|1 visible=0|1 enabled=0|1" of the window (a message box
//                                     disables it until its own loop has ended)
//   uiprobe restore                   restores the minimised window, as a click on its taskbar button does
//   uiprobe popup                     a visible window of the client's process besides the main one (a
//                                     message box): its caption, then its text; exit 1 when there is none
// A TEXT argument written as hex:HEXDIGITS is the UTF-8 text those bytes spell (Wine cannot pass
// non-ASCII command-line arguments from a Unix shell without the matching glibc locale).
// Output is written as it is (binary): the log's lines end with CR LF, the probe's own lines with LF.
// Exit status: 0 done, 1 not found or timed out, 2 bad usage.

#include <winsock2.h>

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kCaption[] = L"HalvenorTavisk";
// The client holds this mutex from its start to the end of its process; a start while it exists only
// brings the other window forward.
constexpr wchar_t kInstanceMutex[] = L"QMRPLT_Morvanelle";
constexpr int kStatusLogId = 105;
constexpr int kDepartmentListId = 1002;
constexpr int kOnlineLightId = 1000;
constexpr int kTalkingLightId = 1001;

std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                              nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

void Print(const std::string& text) {
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
}

// The client's main window: a top-level window with the caption that holds the status log. A message box
// of the client's may carry the same caption and would have none of the controls.
HWND FindClient() {
  HWND window = nullptr;
  while ((window = FindWindowExW(nullptr, window, nullptr, kCaption)) != nullptr) {
    if (GetDlgItem(window, kStatusLogId) != nullptr) return window;
  }
  return nullptr;
}

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

bool WindowExists(const std::string&) {
  return FindClient() != nullptr;
}

bool LogContains(const std::string& text) {
  HWND window = FindClient();
  if (!window) return false;
  return Utf8(TextOf(GetDlgItem(window, kStatusLogId))).find(text) != std::string::npos;
}

bool WindowGone(const std::string&) {
  return FindClient() == nullptr;
}

// "hex:E5B7B2" -> the bytes E5 B7 B2; any other text unchanged.
std::string DecodeArgument(const std::string& arg) {
  if (arg.rfind("hex:", 0) != 0) return arg;
  std::string out;
  for (size_t i = 4; i + 1 < arg.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(arg.substr(i, 2), nullptr, 16)));
  }
  return out;
}

int CountClients() {
  int count = 0;
  HWND window = nullptr;
  while ((window = FindWindowExW(nullptr, window, nullptr, kCaption)) != nullptr)
    ++count;
  return count;
}

bool MutexExists() {
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, kInstanceMutex);
  if (!mutex) return false;
  CloseHandle(mutex);
  return true;
}

bool InstanceFree(const std::string&) {
  return !MutexExists() && CountClients() == 0;
}

struct PopupSearch {
  HWND main = nullptr;
  DWORD process = 0;
  HWND found = nullptr;
};

BOOL CALLBACK FindPopup(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<PopupSearch*>(param);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (window == search->main || process != search->process || !IsWindowVisible(window)) return TRUE;
  search->found = window;
  return FALSE;
}

// The message box's text is the static control with this ID.
constexpr int kMessageBoxTextId = 0xFFFF;

// Prints each line of the status log once, when it first shows. The panel is either appended to or
// emptied and rewritten, so a text that still starts with the previous one only adds its tail.
// The window counts as gone only once no look-up has found it for kGoneMs: one miss must not end a
// transcript the test still reads. Why it ended goes to standard error, for a failing test's report.
int FollowLog(int duration_ms, int step_ms) {
  constexpr DWORD kGoneMs = 300;
  std::string previous;
  DWORD start = GetTickCount();
  DWORD missing_since = 0;
  bool missing = false;
  for (;;) {
    HWND window = FindClient();
    if (!window) {
      if (!missing) missing_since = GetTickCount();
      missing = true;
      if (GetTickCount() - missing_since >= kGoneMs) {
        fprintf(stderr, "follow-log: the window was gone for %lu ms, %lu ms after the start\n",
                static_cast<unsigned long>(kGoneMs), static_cast<unsigned long>(GetTickCount() - start));
        return 0;
      }
      Sleep(static_cast<DWORD>(step_ms));
      continue;
    }
    missing = false;
    std::string now = Utf8(TextOf(GetDlgItem(window, kStatusLogId)));
    if (now != previous) {
      size_t from = now.compare(0, previous.size(), previous) == 0 ? previous.size() : 0;
      std::string fresh = now.substr(from);
      size_t pos = 0;
      while (pos < fresh.size()) {
        size_t end = fresh.find("\r\n", pos);
        if (end == std::string::npos) break;  // a line still being written: wait for its terminator
        Print(fresh.substr(pos, end - pos) + "\n");
        pos = end + 2;
      }
      previous = now.substr(0, from + pos);
    }
    if (static_cast<int>(GetTickCount() - start) >= duration_ms) {
      fprintf(stderr, "follow-log: its %d ms are over\n", duration_ms);
      return 0;
    }
    Sleep(static_cast<DWORD>(step_ms));
  }
}

int HostAddresses() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 1;
  char name[256] = {};
  if (gethostname(name, sizeof name) != 0) return 1;
  Print(std::string(name) + "\n");
  hostent* host = gethostbyname(name);
  if (!host) return 1;
  for (char** entry = host->h_addr_list; *entry; ++entry) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(*entry);
    Print(std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
          std::to_string(b[3]) + "\n");
  }
  WSACleanup();
  return 0;
}

bool Visible(HWND window, int id) {
  return IsWindowVisible(GetDlgItem(window, id)) != FALSE;
}

int Run(const std::vector<std::string>& args) {
  if (args.empty()) return 2;
  const std::string& command = args[0];
  auto number = [&](size_t i, int fallback) { return i < args.size() ? std::stoi(args[i]) : fallback; };

  if (command == "wait-window") return WaitFor(number(1, 10000), &WindowExists, "") ? 0 : 1;
  if (command == "wait-log" && args.size() >= 2) {
    return WaitFor(number(2, 10000), &LogContains, DecodeArgument(args[1])) ? 0 : 1;
  }
  if (command == "wait-gone") return WaitFor(number(1, 10000), &WindowGone, "") ? 0 : 1;
  if (command == "count") {
    Print(std::to_string(CountClients()) + "\n");
    return 0;
  }
  if (command == "host-addresses") return HostAddresses();
  if (command == "instance") {
    Print("mutex=" + std::to_string(MutexExists() ? 1 : 0) + " windows=" + std::to_string(CountClients()) +
          "\n");
    return 0;
  }
  if (command == "wait-free") return WaitFor(number(1, 10000), &InstanceFree, "") ? 0 : 1;
  if (command == "transcript") {
    int duration = number(1, 10000);
    DWORD start = GetTickCount();
    if (!WaitFor(duration, &WindowExists, "")) return 1;
    return FollowLog(duration - static_cast<int>(GetTickCount() - start), number(2, 10));
  }

  HWND window = FindClient();
  if (!window) {
    Print("no window\n");
    return 1;
  }
  if (command == "alive") return 0;
  if (command == "follow-log") return FollowLog(number(1, 10000), number(2, 10));
  if (command == "text" && args.size() >= 2) {
    HWND control = GetDlgItem(window, number(1, 0));
    if (!control) return 1;
    Print(Utf8(TextOf(control)));
    return 0;
  }
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
    Print("online_flips=" + std::to_string(online_flips) + " talking_flips=" + std::to_string(talking_flips) +
          "\n");
    return 0;
  }
  if (command == "state") {
    Print("iconic=" + std::to_string(IsIconic(window) ? 1 : 0) +
          " visible=" + std::to_string(IsWindowVisible(window) ? 1 : 0) +
          " enabled=" + std::to_string(IsWindowEnabled(window) ? 1 : 0) + "\n");
    return 0;
  }
  if (command == "restore") {
    PostMessageW(window, WM_SYSCOMMAND, SC_RESTORE, 0);
    return 0;
  }
  if (command == "popup") {
    PopupSearch search;
    search.main = window;
    GetWindowThreadProcessId(window, &search.process);
    EnumWindows(&FindPopup, reinterpret_cast<LPARAM>(&search));
    if (!search.found) return 1;
    Print(Utf8(TextOf(search.found)) + "\n");
    HWND text = GetDlgItem(search.found, kMessageBoxTextId);
    if (text) Print(Utf8(TextOf(text)) + "\n");
    return 0;
  }
  if (command == "geometry") {
    RECT r;
    GetWindowRect(window, &r);
    Print(std::to_string(r.left) + " " + std::to_string(r.top) + " " + std::to_string(r.right - r.left) +
          " " + std::to_string(r.bottom - r.top) + "\n");
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
  // Binary output: the C runtime would otherwise turn each LF into CR LF (the log's CR LF into CR CR LF).
  _setmode(_fileno(stdout), _O_BINARY);
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i)
    args.push_back(Utf8(argv[i]));
  LocalFree(argv);
  try {
    return Run(args);
  } catch (...) {
    return 2;
  }
}
