// The one door to <windows.h>. Only generic Win32 code lives under
// platform/win32/; the build declares Windows XP (0x0501) as the oldest
// system, so anything newer is looked up at run time through ProcAddress.
#ifndef KESTRUNE_PLATFORM_WIN32_WINDOWS_H_H_
#define KESTRUNE_PLATFORM_WIN32_WINDOWS_H_H_

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace kestrune::win32 {

// The function exported under `name` (or an ordinal made with
// MAKEINTRESOURCEA) as the function type F; null when there is none.
template <typename F>
F ProcAddress(HMODULE module, const char* name) {
  if (module == nullptr) return nullptr;
  // Through the generic function type, which converts to any other without
  // a cast-function-type warning.
  using Generic = void (*)();
  return reinterpret_cast<F>(reinterpret_cast<Generic>(GetProcAddress(module, name)));
}

// A library of the system folder, loaded by its full path; null when the
// system has none of that name.
HMODULE LoadSystemLibrary(const wchar_t* name);

// Owns a kernel handle.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() {
    if (valid()) CloseHandle(handle_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }
  HANDLE release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }
  void reset(HANDLE handle) {
    if (valid()) CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_;
};

}  // namespace kestrune::win32

#endif  // KESTRUNE_PLATFORM_WIN32_WINDOWS_H_H_
