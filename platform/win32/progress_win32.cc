#include "platform/win32/win32_backend.h"
#include "platform/win32/windows_h.h"
// Needs the declarations of <windows.h> before it.
#include <commctrl.h>

namespace kestrune::win32 {
namespace {

// The window class; the end-to-end tests look for it by this name.
constexpr wchar_t kClassName[] = L"KestruneProgress";
// The icon in the resources (res/kestrune.rc).
constexpr int kIconId = 128;
// How long a run works before the window shows, and how often it is redrawn.
constexpr DWORD kShowAfterMs = 1000;
constexpr UINT kTickMs = 100;
// The time left changes once a second at most: read any faster, it only
// flickers.
constexpr DWORD kTimeLeftMs = 1000;
// Sent by Close: the window hides before Close returns.
constexpr UINT kHideMessage = WM_APP + 1;

// The layout in dialog units, a quarter of the message font's average
// character width and an eighth of its height: the window grows with the
// font a person chose and with the display's DPI, as dialogs do.
constexpr int kClientWidth = 280;
constexpr int kClientHeight = 84;
constexpr int kMargin = 7;
constexpr int kLine = 10;
constexpr int kStageTop = 7;
constexpr int kFileTop = 19;
constexpr int kBarTop = 32;
constexpr int kBarHeight = 9;
constexpr int kCountTop = 45;
constexpr int kButtonTop = 63;
constexpr int kButtonWidth = 50;
constexpr int kButtonHeight = 14;

class Lock {
 public:
  explicit Lock(CRITICAL_SECTION* section) : section_(section) { EnterCriticalSection(section_); }
  ~Lock() { LeaveCriticalSection(section_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

 private:
  CRITICAL_SECTION* section_;
};

// The tick count when the process was made: a run's second counts from
// there, not from when this object was, which a slow start delays.
DWORD ProcessStartTicks() {
  FILETIME created, exited, kernel, user, now;
  const DWORD ticks = GetTickCount();
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return ticks;
  GetSystemTimeAsFileTime(&now);
  auto hundreds_of_ns = [](const FILETIME& t) {
    return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  const unsigned long long age = hundreds_of_ns(now) - hundreds_of_ns(created);
  return hundreds_of_ns(now) < hundreds_of_ns(created) || age / 10000 > ticks
             ? ticks
             : ticks - static_cast<DWORD>(age / 10000);
}

// Dialog units to pixels for one font.
struct Units {
  int x = 6;  // average character width
  int y = 13;  // character height
  int Across(int units) const { return MulDiv(units, x, 4); }
  int Down(int units) const { return MulDiv(units, y, 8); }
};

// The font message boxes use, at the display's DPI (the program declares
// itself DPI aware, so the system scales it rather than the bitmap).
HFONT MessageFont() {
  NONCLIENTMETRICSW metrics = {};
  // The size XP knows: later systems accept it, and XP refuses a larger one.
  metrics.cbSize = sizeof metrics;
  if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
    if (HFONT font = CreateFontIndirectW(&metrics.lfMessageFont)) return font;
  }
  return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

Units UnitsOf(HFONT font) {
  Units units;
  HDC screen = GetDC(nullptr);
  if (screen == nullptr) return units;
  const HGDIOBJ before = SelectObject(screen, font);
  TEXTMETRICW text = {};
  SIZE size = {};
  // The average of the letters, as dialogs measure it: a font's own average
  // width is often far off.
  static const wchar_t kLetters[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  if (GetTextMetricsW(screen, &text) && GetTextExtentPoint32W(screen, kLetters, 52, &size)) {
    units.x = (size.cx / 26 + 1) / 2;
    units.y = text.tmHeight;
  }
  SelectObject(screen, before);
  ReleaseDC(nullptr, screen);
  return units;
}

// Sets a control's text only when it changed: a redraw ten times a second
// of the same words would flicker.
void SetText(HWND control, const std::wstring& text) {
  wchar_t shown[1024];
  const int length = GetWindowTextW(control, shown, 1024);
  if (length >= 0 && static_cast<size_t>(length) == text.size() &&
      text.compare(0, text.size(), shown, length) == 0) {
    return;
  }
  SetWindowTextW(control, text.c_str());
}

struct QuestionSearch {
  HWND owner;
  HWND found;
};

// The question's box: a dialog of the window's thread that the window owns.
BOOL CALLBACK FindQuestion(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<QuestionSearch*>(param);
  wchar_t name[16] = L"";
  GetClassNameW(window, name, 16);
  if (GetWindow(window, GW_OWNER) == search->owner && lstrcmpW(name, L"#32770") == 0) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

Win32Progress::Win32Progress()
    : started_ticks_(ProcessStartTicks()),
      answered_(CreateEventW(nullptr, TRUE, TRUE, nullptr)) {
  InitializeCriticalSection(&lock_);
}

Win32Progress::~Win32Progress() {
  if (thread_ != nullptr) {
    // Refused until the thread has its message queue, which a run that ends
    // at once may not have given it time to make. An open question ends with
    // the quit, as every modal loop does.
    for (int tries = 0; tries < 200 && !PostThreadMessageW(thread_id_, WM_QUIT, 0, 0); ++tries) {
      if (WaitForSingleObject(thread_, 5) == WAIT_OBJECT_0) break;
    }
    WaitForSingleObject(thread_, 2000);
    CloseHandle(thread_);
  }
  if (answered_ != nullptr) CloseHandle(answered_);
  DeleteCriticalSection(&lock_);
}

bool Win32Progress::Start(const Texts& texts) {
  {
    Lock lock(&lock_);
    texts_ = texts;
  }
  started_ = true;
  // Before the window's thread exists: loading the controls' library on it
  // while this thread shows a box could leave each waiting on the other.
  RegisterCommonControls();
  // Made now, so that the window's second is not spent starting a thread;
  // it shows nothing until a stage reports.
  if (thread_ == nullptr) thread_ = CreateThread(nullptr, 0, ThreadMain, this, 0, &thread_id_);
  return true;
}

void Win32Progress::Report(std::wstring_view stage, size_t done, size_t total,
                           std::wstring_view folder, std::wstring_view name) {
  if (!started_) return;
  Lock lock(&lock_);
  if (stage != stage_ || total != total_) {
    stage_.assign(stage);
    stage_ticks_ = GetTickCount();
  }
  done_ = done;
  total_ = total;
  // Copied into the string kept from the last file: no allocation once the
  // longest path has been seen.
  file_.assign(folder).append(name);
  active_ = true;
  changed_ = true;
}

void Win32Progress::Waiting(std::wstring_view file, std::wstring_view programs) {
  if (!started_) return;
  Lock lock(&lock_);
  waiting_ = file.empty() || texts_.waiting == nullptr ? std::wstring()
                                                       : texts_.waiting(file, programs);
  changed_ = true;
}

void Win32Progress::AllowCancel(bool allowed) {
  bool open = false;
  {
    Lock lock(&lock_);
    allowed_ = allowed;
    changed_ = true;
    open = asking_;
  }
  if (!allowed && open) DismissQuestion();
}

bool Win32Progress::CancelRequested() {
  {
    Lock lock(&lock_);
    if (!allowed_) return false;
    if (!asking_) return cancelled_;
  }
  // Nothing more changes while a person decides, so that Yes leaves as
  // little to undo as when it was asked.
  WaitForSingleObject(answered_, INFINITE);
  Lock lock(&lock_);
  return allowed_ && cancelled_;
}

void Win32Progress::Close() {
  HWND window = nullptr;
  bool open = false;
  {
    Lock lock(&lock_);
    active_ = false;
    window = window_;
    open = asking_;
  }
  // No question may outlive the window, nor stand beside the run's message.
  if (open) DismissQuestion();
  // Outside the lock: the window's thread may be waiting for it.
  if (window != nullptr) SendMessageW(window, kHideMessage, 0, 0);
}

void Win32Progress::DismissQuestion() {
  HWND window = nullptr;
  {
    Lock lock(&lock_);
    window = window_;
  }
  QuestionSearch search{window, nullptr};
  if (window != nullptr) {
    EnumThreadWindows(thread_id_, FindQuestion, reinterpret_cast<LPARAM>(&search));
  }
  if (search.found != nullptr) PostMessageW(search.found, WM_COMMAND, IDNO, 0);
}

DWORD WINAPI Win32Progress::ThreadMain(void* self) {
  auto* progress = static_cast<Win32Progress*>(self);
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW window_class = {};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = WindowProc;
  window_class.hInstance = instance;
  // At the sizes this display's DPI asks for, from the sizes the icon holds.
  window_class.hIcon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kIconId),
                                                     IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                                                     GetSystemMetrics(SM_CYICON), 0));
  window_class.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kIconId),
                                                       IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                       GetSystemMetrics(SM_CYSMICON), 0));
  window_class.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  window_class.lpszClassName = kClassName;
  RegisterClassExW(&window_class);
  // A thread timer: its WM_TIMER comes with no window.
  SetTimer(nullptr, 0, kTickMs, nullptr);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (message.message == WM_TIMER && message.hwnd == nullptr) {
      progress->Tick();
      continue;
    }
    // Esc on any of its controls, as in a dialog, is the Cancel button.
    if (progress->window_ != nullptr && IsDialogMessageW(progress->window_, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  HWND window = nullptr;
  {
    Lock lock(&progress->lock_);
    window = progress->window_;
    progress->window_ = nullptr;
  }
  if (window != nullptr) DestroyWindow(window);
  if (progress->font_ != nullptr) DeleteObject(progress->font_);
  return 0;
}

LRESULT CALLBACK Win32Progress::WindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(l);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* progress = reinterpret_cast<Win32Progress*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (message) {
    case kHideMessage:
      ShowWindow(window, SW_HIDE);
      return 0;
    case WM_COMMAND:
      if (LOWORD(w) == IDCANCEL && progress != nullptr) progress->AskToCancel();
      return 0;
    case WM_CLOSE:
      // The close box and Alt+F4 ask as Cancel does; the window itself only
      // goes with the run.
      if (progress != nullptr) progress->AskToCancel();
      return 0;
    default:
      return DefWindowProcW(window, message, w, l);
  }
}

void Win32Progress::AskToCancel() {
  std::wstring question, caption;
  {
    Lock lock(&lock_);
    if (!allowed_ || asking_ || cancelled_) return;
    asking_ = true;
    ResetEvent(answered_);
    question = texts_.question;
    caption = texts_.question_caption;
  }
  // No by default: Enter pressed in passing keeps the update going.
  const int answer = MessageBoxW(window_, question.c_str(), caption.c_str(),
                                 MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
  {
    Lock lock(&lock_);
    asking_ = false;
    // A Yes that came after the commit point counts for nothing.
    if (answer == IDYES && allowed_) cancelled_ = true;
    changed_ = true;
    // Greyed before the run goes on to undo.
    EnableCancel(allowed_ && !cancelled_);
  }
  SetEvent(answered_);
}

void Win32Progress::EnableCancel(bool on) {
  // Greyed past the commit point, during an undo or a recovery, and once a
  // person said Yes: the close box with the button.
  if (cancel_ == nullptr || (IsWindowEnabled(cancel_) != FALSE) == on) return;
  EnableWindow(cancel_, on ? TRUE : FALSE);
  EnableMenuItem(GetSystemMenu(window_, FALSE), SC_CLOSE,
                 MF_BYCOMMAND | (on ? MF_ENABLED : MF_GRAYED));
}

void Win32Progress::Tick() {
  Lock lock(&lock_);
  const DWORD now = GetTickCount();
  if (!active_ || now - started_ticks_ < kShowAfterMs) return;
  if (window_ == nullptr) Create();
  if (window_ == nullptr) return;
  // Before the words: a stage that can no longer be cancelled never shows
  // beside a Cancel still on.
  EnableCancel(allowed_ && !cancelled_);
  // The time left is worded anew once a second, when it may have changed.
  const bool new_second = now - left_ticks_ >= kTimeLeftMs;
  if (changed_ || new_second) {
    SetText(stage_label_, stage_);
    SetText(file_label_, waiting_.empty() ? file_ : waiting_);
    SetText(count_label_, total_ > 0 && texts_.count != nullptr ? texts_.count(done_, total_)
                                                                : std::wstring());
    if (new_second) {
      // Not while the run waits: its pace then says nothing of the rest.
      left_ = total_ > 0 && waiting_.empty() && texts_.time_left != nullptr
                  ? texts_.time_left(now - stage_ticks_, done_, total_)
                  : std::wstring();
      left_ticks_ = now;
    }
    SetText(left_label_, left_);
    // The bar counts in ints; a count past that is scaled down.
    const size_t scale = total_ > 0x7fffffff ? total_ / 0x7fffffff + 1 : 1;
    SendMessageW(bar_, PBM_SETRANGE32, 0, static_cast<LPARAM>(total_ > 0 ? total_ / scale : 1));
    SendMessageW(bar_, PBM_SETPOS, static_cast<WPARAM>(done_ / scale), 0);
    changed_ = false;
  }
  if (!IsWindowVisible(window_)) {
    ShowWindow(window_, SW_SHOWNORMAL);
    SetFocus(cancel_);
  }
}

void Win32Progress::Create() {
  // A caption with a system menu for its close box, which cancels as the
  // button does; no frame to resize, nor a box to minimise.
  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
  const DWORD ex_style = WS_EX_APPWINDOW;
  if (font_ == nullptr) font_ = MessageFont();
  const Units units = UnitsOf(font_);
  RECT frame = {0, 0, units.Across(kClientWidth), units.Down(kClientHeight)};
  AdjustWindowRectEx(&frame, style, FALSE, ex_style);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  window_ = CreateWindowExW(ex_style, kClassName, texts_.caption.c_str(), style,
                            (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                            (GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height, nullptr,
                            nullptr, instance, this);
  if (window_ == nullptr) return;
  // The product's icon beside the words, at the display's size for icons.
  const int icon_size = GetSystemMetrics(SM_CXICON);
  const int left = units.Across(kMargin);
  const int text_left = left + icon_size + units.Across(kMargin);
  const int text_width = units.Across(kClientWidth - kMargin) - text_left;
  HWND icon = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_ICON, left,
                              units.Down(kStageTop), icon_size, icon_size, window_, nullptr,
                              instance, nullptr);
  SendMessageW(icon, STM_SETICON,
               reinterpret_cast<WPARAM>(LoadImageW(instance, MAKEINTRESOURCEW(kIconId), IMAGE_ICON,
                                                   icon_size, icon_size, 0)),
               0);
  const auto label = [&](DWORD extra, int top, int x, int w) {
    HWND control = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_NOPREFIX | extra,
                                   x, units.Down(top), w, units.Down(kLine), window_, nullptr,
                                   instance, nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    return control;
  };
  stage_label_ = label(SS_LEFT | SS_ENDELLIPSIS, kStageTop, text_left, text_width);
  // A path keeps its start and its file name, whatever is cut between.
  file_label_ = label(SS_LEFT | SS_PATHELLIPSIS, kFileTop, text_left, text_width);
  count_label_ = label(SS_LEFT, kCountTop, text_left, text_width / 2);
  left_label_ = label(SS_RIGHT, kCountTop, text_left + text_width / 2, text_width - text_width / 2);
  bar_ = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE, text_left,
                         units.Down(kBarTop), text_width, units.Down(kBarHeight), window_, nullptr,
                         instance, nullptr);
  const int button_width = units.Across(kButtonWidth);
  cancel_ = CreateWindowExW(0, L"BUTTON", texts_.cancel.c_str(),
                            WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
                            text_left + text_width - button_width, units.Down(kButtonTop),
                            button_width, units.Down(kButtonHeight), window_,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDCANCEL)), instance,
                            nullptr);
  SendMessageW(cancel_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  // Off until the run allows it: Tick switches both on together.
  EnableWindow(cancel_, FALSE);
  EnableMenuItem(GetSystemMenu(window_, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
  changed_ = true;
  left_ticks_ = GetTickCount() - kTimeLeftMs;
}

}  // namespace kestrune::win32
