#include "platform/win32/win32_backend.h"
#include "platform/win32/windows_h.h"

namespace kestrune::win32 {

void Win32Messages::Show(const std::wstring& text, const std::wstring& caption,
                         Style style) {
  const UINT type = style == Style::kFramework ? MB_OK | MB_ICONEXCLAMATION : MB_OK;
  RegisterCommonControls();
  MessageBoxW(nullptr, text.c_str(), caption.c_str(), type);
}

void Win32Messages::ShowUsage(const std::wstring& text, const std::wstring& caption,
                              bool mistake) {
  RegisterCommonControls();
  MessageBoxW(nullptr, text.c_str(), caption.c_str(),
              MB_OK | (mistake ? MB_ICONEXCLAMATION : MB_ICONINFORMATION));
}

}  // namespace kestrune::win32
