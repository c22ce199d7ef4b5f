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
// Sent by Close: the window hides before Close returns.
constexpr UINT kHideMessage = WM_APP + 1;

constexpr int kClientWidth = 380;
constexpr int kClientHeight = 84;
constexpr int kMargin = 14;

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

}  // namespace

Win32Progress::Win32Progress() : started_ticks_(ProcessStartTicks()) {
  InitializeCriticalSection(&lock_);
}

Win32Progress::~Win32Progress() {
  if (thread_ != nullptr) {
    // Refused until the thread has its message queue, which a run that ends
    // at once may not have given it time to make.
    for (int tries = 0; tries < 200 && !PostThreadMessageW(thread_id_, WM_QUIT, 0, 0); ++tries) {
      if (WaitForSingleObject(thread_, 5) == WAIT_OBJECT_0) break;
    }
    WaitForSingleObject(thread_, 2000);
    CloseHandle(thread_);
  }
  DeleteCriticalSection(&lock_);
}

void Win32Progress::Start(const std::wstring& title) {
  {
    Lock lock(&lock_);
    title_ = title;
  }
  started_ = true;
  // Before the window's thread exists: loading the controls' library on it
  // while this thread shows a box could leave each waiting on the other.
  RegisterCommonControls();
  // Made now, so that the window's second is not spent starting a thread;
  // it shows nothing until a stage reports.
  if (thread_ == nullptr) thread_ = CreateThread(nullptr, 0, ThreadMain, this, 0, &thread_id_);
}

void Win32Progress::Report(const std::wstring& text, size_t done, size_t total) {
  if (!started_) return;
  {
    Lock lock(&lock_);
    if (text != text_ || done != done_ || total != total_ || !active_) changed_ = true;
    text_ = text;
    done_ = done;
    total_ = total;
    active_ = true;
  }
}

void Win32Progress::Close() {
  HWND window = nullptr;
  {
    Lock lock(&lock_);
    active_ = false;
    window = window_;
  }
  // Outside the lock: the window's thread may be waiting for it.
  if (window != nullptr) SendMessageW(window, kHideMessage, 0, 0);
}

DWORD WINAPI Win32Progress::ThreadMain(void* self) {
  auto* progress = static_cast<Win32Progress*>(self);
  WNDCLASSEXW window_class = {};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = WindowProc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.hIcon = LoadIconW(window_class.hInstance, MAKEINTRESOURCEW(kIconId));
  window_class.hIconSm = window_class.hIcon;
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
  return 0;
}

LRESULT CALLBACK Win32Progress::WindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  switch (message) {
    case kHideMessage:
      ShowWindow(window, SW_HIDE);
      return 0;
    case WM_CLOSE:
      // No close box, and Alt+F4 must not end the window of a run at work.
      return 0;
    default:
      return DefWindowProcW(window, message, w, l);
  }
}

void Win32Progress::Tick() {
  Lock lock(&lock_);
  if (!active_ || GetTickCount() - started_ticks_ < kShowAfterMs) return;
  if (window_ == nullptr) Create();
  if (window_ == nullptr) return;
  if (changed_) {
    SetWindowTextW(label_, text_.c_str());
    // The bar counts in ints; a count past that is scaled down.
    const size_t scale = total_ > 0x7fffffff ? total_ / 0x7fffffff + 1 : 1;
    SendMessageW(bar_, PBM_SETRANGE32, 0, static_cast<LPARAM>(total_ > 0 ? total_ / scale : 1));
    SendMessageW(bar_, PBM_SETPOS, static_cast<WPARAM>(done_ / scale), 0);
    changed_ = false;
  }
  if (!IsWindowVisible(window_)) ShowWindow(window_, SW_SHOWNORMAL);
}

void Win32Progress::Create() {
  // A caption without a system menu: no close box, as the run cannot be
  // stopped halfway from here.
  const DWORD style = WS_POPUP | WS_CAPTION;
  const DWORD ex_style = WS_EX_DLGMODALFRAME | WS_EX_APPWINDOW;
  RECT frame = {0, 0, kClientWidth, kClientHeight};
  AdjustWindowRectEx(&frame, style, FALSE, ex_style);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  window_ = CreateWindowExW(ex_style, kClassName, title_.c_str(), style,
                            (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                            (GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height, nullptr,
                            nullptr, instance, nullptr);
  if (window_ == nullptr) return;
  const HGDIOBJ font = GetStockObject(DEFAULT_GUI_FONT);
  label_ = CreateWindowExW(0, L"STATIC", text_.c_str(),
                           WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, kMargin,
                           kMargin, kClientWidth - 2 * kMargin, 18, window_, nullptr, instance,
                           nullptr);
  bar_ = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE, kMargin,
                         kMargin + 28, kClientWidth - 2 * kMargin, 20, window_, nullptr, instance,
                         nullptr);
  SendMessageW(label_, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  changed_ = true;
}

}  // namespace kestrune::win32
