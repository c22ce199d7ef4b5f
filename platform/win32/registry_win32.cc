#include "platform/win32/win32_backend.h"
#include "platform/win32/windows_h.h"

namespace kestrune::win32 {
namespace {

class Win32RegistryKey : public RegistryKey {
 public:
  explicit Win32RegistryKey(HKEY key) : key_(key) {}
  ~Win32RegistryKey() override { RegCloseKey(key_); }

  bool ReadValue(const std::wstring& name, size_t capacity,
                 std::vector<uint8_t>* bytes) override {
    bytes->assign(capacity, 0);
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(capacity);
    if (RegQueryValueExW(key_, name.c_str(), nullptr, &type, bytes->data(), &size) !=
        ERROR_SUCCESS) {
      return false;
    }
    bytes->resize(size);
    return true;
  }

 private:
  const HKEY key_;
};

}  // namespace

std::unique_ptr<RegistryKey> Win32Registry::OpenKey(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return nullptr;
  }
  return std::make_unique<Win32RegistryKey>(key);
}

}  // namespace kestrune::win32
