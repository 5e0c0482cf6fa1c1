#include "ui/win32/call_dlg.h"

#include <algorithm>
#include <vector>

#include "app/win32/venue_settings.h"
#include "platform/win32/gbk_text.h"
#include "resource.h"
#include "ui/win32/font_faces.h"

namespace pelvarine::win32 {
namespace {

constexpr wchar_t kInstanceMarker[] = L"QMRPLT_Morvanelle";

HINSTANCE Instance() {
  return GetModuleHandleW(nullptr);
}

struct ButtonLayout {
  CSkinButton CCallDlg::*button;
  int id;
  const char* caption;
  int left, top;
  int normal, pressed, hover;
};

// The template's controls at their pixel places, so the layout matches the skin whatever font the dialog
// manager measured its units with.
struct ControlPlace {
  int id;
  RECT rect;
};
constexpr ControlPlace kControlPlaces[] = {
    {IDC_ONLINE_LIGHT, {251, 35, 263, 47}},     {IDC_TALKING_LIGHT, {312, 36, 324, 48}},
    {IDC_DEPARTMENT_LIST, {269, 86, 362, 162}}, {IDC_NUMBER_EDIT, {272, 132, 366, 155}},
    {IDC_PASSWORD_EDIT, {272, 155, 366, 176}},
};
constexpr RECT kStatusLogRect = {25, 55, 193, 137};

std::wstring WindowText(HWND window) {
  int length = GetWindowTextLengthW(window);
  std::vector<wchar_t> text(static_cast<size_t>(length) + 1, L'\0');
  GetWindowTextW(window, text.data(), length + 1);
  return text.data();
}

INT_PTR CALLBACK AboutProc(HWND window, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_INITDIALOG) return TRUE;
  if (message == WM_COMMAND && (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL)) {
    EndDialog(window, LOWORD(wparam));
    return TRUE;
  }
  return FALSE;
}

BOOL CALLBACK ClickIfInternalLine(HWND child, LPARAM) {
  static const std::wstring kInternalLine = WideFromGbk("内线");
  if (WindowText(child) == kInternalLine) {
    PostMessageW(child, WM_LBUTTONDOWN, 0, 0);
    Sleep(50);
    PostMessageW(child, WM_LBUTTONUP, 0, 0);
  }
  return TRUE;
}

}  // namespace

CCallDlg::CCallDlg(Win32Platform& platform, CLogEdit& status_panel)
    : platform_(platform), status_panel_(status_panel) {
  icon_ = LoadIconW(Instance(), MAKEINTRESOURCEW(IDR_MAINFRAME));
  small_icon_ =
      static_cast<HICON>(LoadImageW(Instance(), MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                    GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
}

CCallDlg::~CCallDlg() {
  if (composed_dc_) {
    SelectObject(composed_dc_, composed_previous_);
    DeleteDC(composed_dc_);
  }
  if (composed_bitmap_) DeleteObject(composed_bitmap_);
  for (HFONT font : fonts_) {
    if (font) DeleteObject(font);
  }
  if (small_icon_) DestroyIcon(small_icon_);
}

INT_PTR CCallDlg::DoModal() {
  return DialogBoxParamW(Instance(), MAKEINTRESOURCEW(IDD_CALL_DIALOG), nullptr, &CCallDlg::DialogProc,
                         reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CCallDlg::DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(window, DWLP_USER, lparam);
    reinterpret_cast<CCallDlg*>(lparam)->window_ = window;
  }
  auto* self = reinterpret_cast<CCallDlg*>(GetWindowLongPtrW(window, DWLP_USER));
  return self ? self->Handle(message, wparam, lparam) : FALSE;
}

INT_PTR CCallDlg::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_SYSCOMMAND:
      if ((wparam & 0xFFF0) == IDM_ABOUTBOX) {
        DialogBoxParamW(Instance(), MAKEINTRESOURCEW(IDD_ABOUTBOX), window_, &AboutProc, 0);
        return TRUE;
      }
      return FALSE;
    case WM_ERASEBKGND:
      return TRUE;  // the skin covers everything
    case WM_PAINT:
      OnPaint();
      return TRUE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(icon_);
    case WM_LBUTTONDOWN:
      // A press on the background drags the window as a caption bar would.
      PostMessageW(window_, WM_NCLBUTTONDOWN, HTCAPTION, lparam);
      InvalidateRect(window_, nullptr, FALSE);
      return TRUE;
    case WM_RBUTTONUP:
      if (client_) client_->OnRightButtonUp();
      return TRUE;
    case WM_TIMER:
      if (client_) client_->OnTimer(static_cast<int>(wparam));
      return TRUE;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
      if (reinterpret_cast<HWND>(lparam) == status_panel_.window()) {
        return reinterpret_cast<INT_PTR>(status_panel_.OnCtlColor(reinterpret_cast<HDC>(wparam)));
      }
      // A light's bitmap covers it whole, so its brush is never seen. Answering here keeps each flip (up
      // to 125 a second in a call) out of the themed default handling and its window-property look-up.
      if (reinterpret_cast<HWND>(lparam) == online_light_ ||
          reinterpret_cast<HWND>(lparam) == talking_light_) {
        return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
      }
      return FALSE;
    case WM_COMMAND:
      OnCommand(LOWORD(wparam));
      return TRUE;
    case WM_DESTROY:
      // However the window goes, the call is cleaned up first (this runs once).
      if (client_) client_->OnDestroyWindow();
      RemovePropW(window_, kInstanceMarker);
      return FALSE;
    default:
      return FALSE;
  }
}

void CCallDlg::OnCommand(int id) {
  switch (id) {
    case kPhoneButtonCommand:
      client_->OnPhoneButton();
      break;
    case kExitButtonCommand:
    case IDOK:
    case IDCANCEL:
      DestroyWindow();
      break;
    case kHomePageButtonCommand:
      client_->OnHomePageButton();
      break;
    case kMinimiseButtonCommand:
      ShowWindow(window_, SW_SHOWMINIMIZED);
      break;
    default:
      break;
  }
}

void CCallDlg::DestroyWindow() {
  client_->OnDestroyWindow();
  RemovePropW(window_, kInstanceMarker);
  EndDialog(window_, IDOK);
}

BOOL CCallDlg::OnInitDialog() {
  password_edit_ = GetDlgItem(window_, IDC_PASSWORD_EDIT);
  number_edit_ = GetDlgItem(window_, IDC_NUMBER_EDIT);
  department_list_ = GetDlgItem(window_, IDC_DEPARTMENT_LIST);
  online_light_ = GetDlgItem(window_, IDC_ONLINE_LIGHT);
  talking_light_ = GetDlgItem(window_, IDC_TALKING_LIGHT);
  platform_.system.SetOwner(window_);

  AddAboutEntry();
  SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small_icon_ ? small_icon_ : icon_));
  SetPropW(window_, kInstanceMarker, reinterpret_cast<HANDLE>(1));

  client_ = std::make_unique<CallClient>(Ports{platform_.network, platform_.wave, platform_.mixer,
                                               platform_.clock, platform_.system, status_panel_, *this},
                                         ReadVenueSettings());
  PlaceTemplateControls();
  BuildSkin();
  client_->OnInitDialog();
  CentreInWorkArea();
  return TRUE;
}

void CCallDlg::AddAboutEntry() {
  HMENU menu = GetSystemMenu(window_, FALSE);
  if (!menu) return;
  wchar_t entry[256] = {};
  if (LoadStringW(Instance(), IDS_ABOUTBOX, entry, 256) == 0 || entry[0] == 0) return;
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, entry);
}

void CCallDlg::PlaceTemplateControls() {
  for (const ControlPlace& place : kControlPlaces) {
    const RECT& r = place.rect;
    SetWindowPos(GetDlgItem(window_, place.id), nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

void CCallDlg::BuildSkin() {
  for (const FontSpec& spec : PaintedFonts()) {
    fonts_[static_cast<size_t>(spec.role)] = CreateFaceFont(spec.height, spec.faces);
  }

  HBITMAP skin = LoadBitmapW(Instance(), MAKEINTRESOURCEW(IDB_SKIN));
  BITMAP size = {};
  GetObjectW(skin, sizeof size, &size);
  SetWindowPos(window_, nullptr, 0, 0, size.bmWidth, size.bmHeight, SWP_NOMOVE | SWP_NOZORDER);
  DeleteObject(skin);

  SetWindowTextW(window_, WideFromGbk(kWindowCaption).c_str());

  const ButtonLayout buttons[] = {
      {&CCallDlg::exit_button_, IDC_EXIT_BUTTON, "退出", 335, 7, IDB_EXIT_NORMAL, IDB_EXIT_PRESSED,
       IDB_EXIT_HOVER},
      {&CCallDlg::home_page_button_, IDC_HOME_PAGE_BUTTON, "隐藏", 283, 7, IDB_HOME_NORMAL, IDB_HOME_PRESSED,
       IDB_HOME_HOVER},
      {&CCallDlg::minimise_button_, IDC_MINIMISE_BUTTON, "最小", 309, 7, IDB_MIN_NORMAL, IDB_MIN_PRESSED,
       IDB_MIN_HOVER},
      {&CCallDlg::phone_button_, IDC_PHONE_BUTTON, "ConnectAndCut", 206, 78, IDB_PHONE_NORMAL,
       IDB_PHONE_PRESSED, IDB_PHONE_HOVER},
  };
  for (const ButtonLayout& layout : buttons) {
    HBITMAP normal = LoadBitmapW(Instance(), MAKEINTRESOURCEW(layout.normal));
    BITMAP picture = {};
    GetObjectW(normal, sizeof picture, &picture);
    RECT rect = {layout.left, layout.top, layout.left + picture.bmWidth, layout.top + picture.bmHeight};
    CSkinButton& button = this->*layout.button;
    button.Create(layout.caption, rect, window_, layout.id);
    button.Show();
    button.SetSkin(layout.left, layout.top, layout.normal, layout.pressed, layout.hover, layout.caption);
    DeleteObject(normal);
  }

  status_panel_.Create(window_, IDC_STATUS_LOG, kStatusLogRect);
}

void CCallDlg::CentreInWorkArea() {
  RECT work, frame;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  GetWindowRect(window_, &frame);
  int width = frame.right - frame.left, height = frame.bottom - frame.top;
  SetWindowPos(window_, nullptr, work.left + (work.right - work.left - width) / 2,
               work.top + (work.bottom - work.top - height) / 2, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

static bool SameTexts(const std::vector<PaintedText>& a, const std::vector<PaintedText>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const PaintedText& x, const PaintedText& y) {
    return x.text == y.text && x.font == y.font && x.red == y.red && x.green == y.green && x.blue == y.blue &&
           x.x == y.x && x.y == y.y;
  });
}

void CCallDlg::ComposeSkin(HDC screen, const std::vector<PaintedText>& texts, int width, int height) {
  if (!composed_dc_) composed_dc_ = CreateCompatibleDC(screen);
  if (!composed_bitmap_ || width != composed_width_ || height != composed_height_) {
    if (composed_bitmap_) {
      SelectObject(composed_dc_, composed_previous_);
      DeleteObject(composed_bitmap_);
    }
    composed_bitmap_ = CreateCompatibleBitmap(screen, width, height);
    composed_previous_ = SelectObject(composed_dc_, composed_bitmap_);
    composed_width_ = width;
    composed_height_ = height;
  }
  HBITMAP skin = LoadBitmapW(Instance(), MAKEINTRESOURCEW(IDB_SKIN));
  HDC skin_dc = CreateCompatibleDC(screen);
  HGDIOBJ previous = SelectObject(skin_dc, skin);
  BitBlt(composed_dc_, 0, 0, width, height, skin_dc, 0, 0, SRCCOPY);
  SelectObject(skin_dc, previous);
  DeleteDC(skin_dc);
  DeleteObject(skin);

  HGDIOBJ previous_font = nullptr;
  SetBkMode(composed_dc_, TRANSPARENT);
  for (const PaintedText& text : texts) {
    HGDIOBJ replaced = SelectObject(composed_dc_, fonts_[static_cast<size_t>(text.font)]);
    if (!previous_font) previous_font = replaced;
    SetTextColor(composed_dc_, RGB(text.red, text.green, text.blue));
    std::wstring wide = WideFromGbk(text.text);
    TextOutW(composed_dc_, text.x, text.y, wide.c_str(), static_cast<int>(wide.size()));
  }
  if (previous_font) SelectObject(composed_dc_, previous_font);
  composed_texts_ = texts;
}

void CCallDlg::OnPaint() {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window_, &paint);
  RECT client;
  GetClientRect(window_, &client);
  if (IsIconic(window_)) {
    SendMessageW(window_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    int cx = GetSystemMetrics(SM_CXICON), cy = GetSystemMetrics(SM_CYICON);
    DrawIcon(dc, (client.right - cx + 1) / 2, (client.bottom - cy + 1) / 2, icon_);
    EndPaint(window_, &paint);
    return;
  }
  // The lights flip many times a second and each flip repaints the small area under them: the skin and
  // its texts are composed once (again only when a text changes) and a paint copies just what it must.
  std::vector<PaintedText> texts = client_->window().TextsToPaint();
  if (!composed_bitmap_ || client.right != composed_width_ || client.bottom != composed_height_ ||
      !SameTexts(texts, composed_texts_)) {
    ComposeSkin(dc, texts, client.right, client.bottom);
  }
  const RECT& area = paint.rcPaint;
  BitBlt(dc, area.left, area.top, area.right - area.left, area.bottom - area.top, composed_dc_, area.left,
         area.top, SRCCOPY);
  EndPaint(window_, &paint);
}

void CCallDlg::SetPasswordChar(char c) {
  SendMessageW(password_edit_, EM_SETPASSWORDCHAR, static_cast<WPARAM>(c), 0);
}

void CCallDlg::ShowDepartmentList(bool shown) {
  ShowWindow(department_list_, shown ? SW_SHOW : SW_HIDE);
}

void CCallDlg::ShowNumberInputs(bool shown) {
  ShowWindow(number_edit_, shown ? SW_SHOW : SW_HIDE);
  ShowWindow(password_edit_, shown ? SW_SHOW : SW_HIDE);
}

int CCallDlg::DepartmentRowCount() {
  return static_cast<int>(SendMessageW(department_list_, CB_GETCOUNT, 0, 0));
}

void CCallDlg::DeleteDepartmentRow(int row) {
  SendMessageW(department_list_, CB_DELETESTRING, row, 0);
}

void CCallDlg::AddDepartmentRow(const std::string& name) {
  SendMessageW(department_list_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(WideFromGbk(name).c_str()));
}

void CCallDlg::SelectDepartmentRow(int row) {
  SendMessageW(department_list_, CB_SETCURSEL, row, 0);
}

int CCallDlg::SelectedDepartmentRow() {
  LRESULT row = SendMessageW(department_list_, CB_GETCURSEL, 0, 0);
  return row == CB_ERR ? -1 : static_cast<int>(row);
}

std::string CCallDlg::DepartmentRowText(int row) {
  LRESULT length = SendMessageW(department_list_, CB_GETLBTEXTLEN, row, 0);
  if (length == CB_ERR) return std::string();
  std::vector<wchar_t> text(static_cast<size_t>(length) + 1, L'\0');
  SendMessageW(department_list_, CB_GETLBTEXT, row, reinterpret_cast<LPARAM>(text.data()));
  return GbkFromWide(text.data());
}

std::string CCallDlg::NumberText() {
  return GbkFromWide(WindowText(number_edit_));
}

std::string CCallDlg::PasswordText() {
  return GbkFromWide(WindowText(password_edit_));
}

void CCallDlg::ShowTalkingLight(bool shown) {
  ShowWindow(talking_light_, shown ? SW_SHOW : SW_HIDE);
}

void CCallDlg::ShowOnlineLight(bool shown) {
  ShowWindow(online_light_, shown ? SW_SHOW : SW_HIDE);
}

void CCallDlg::StartTimer(int id, int period_ms) {
  SetTimer(window_, id, static_cast<UINT>(period_ms), nullptr);
}

void CCallDlg::StopTimer(int id) {
  KillTimer(window_, id);
}

void CCallDlg::AutoClickInternalLine() {
  HWND window = FindWindowW(nullptr, WideFromGbk(kWindowCaption).c_str());
  if (window) EnumChildWindows(window, &ClickIfInternalLine, 0);
}

}  // namespace pelvarine::win32
