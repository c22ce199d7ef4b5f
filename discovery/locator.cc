#include "discovery/locator.h"

#include <memory>
#include <vector>

#include "run/messages.h"
#include "platform/text.h"
#include "platform/utf.h"

namespace kestrune {
namespace {

constexpr wchar_t kUninstallPath[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr wchar_t kUninstallPathWow[] =
    L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr wchar_t kProductPath[] = L"SOFTWARE\\ORVELIN\\VORDA\\2015\\";
constexpr wchar_t kProductPathWow[] =
    L"SOFTWARE\\Wow6432Node\\ORVELIN\\VORDA\\2015\\";

// Holds 127 UTF-16 code units and their terminator; longer values are
// unreadable by design.
constexpr size_t kValueCapacity = 256;

// A 32-bit program on 64-bit Windows is redirected to the Wow6432Node branch
// by the system already; the explicit second path serves registries written
// by 64-bit installers on systems without that redirection.
std::unique_ptr<RegistryKey> OpenEitherView(Registry& registry,
                                            const wchar_t* path,
                                            const wchar_t* wow_path,
                                            const std::wstring& name,
                                            std::wstring* opened) {
  *opened = path + name;
  std::unique_ptr<RegistryKey> key = registry.OpenKey(*opened);
  if (!key) {
    *opened = wow_path + name;
    key = registry.OpenKey(*opened);
  }
  return key;
}

// The value as text up to its terminating zero code unit, trimmed; false when
// it cannot be read.
bool ReadTrimmedText(RegistryKey& key, const wchar_t* name, std::wstring* text) {
  std::vector<uint8_t> bytes;
  if (!key.ReadValue(name, kValueCapacity, &bytes)) return false;
  size_t length = 0;
  while (length + 1 < bytes.size() &&
         (bytes[length] != 0 || bytes[length + 1] != 0)) {
    length += 2;
  }
  *text = TrimSpace(WideFromUtf16Le(bytes.data(), length));
  return true;
}

}  // namespace

LocateResult LocateInstallation(Registry& registry, Messages& messages,
                                RunState& state) {
  std::wstring key_path;
  std::unique_ptr<RegistryKey> uninstall = OpenEitherView(
      registry, kUninstallPath, kUninstallPathWow, state.product_core_guid, &key_path);
  if (!uninstall) {
    state.log.Line(L"no uninstall entry " + key_path);
    messages.Show(msg::kNotInstalled, msg::kErrorCaption, Messages::Style::kPlain);
    return LocateResult::kNotInstalled;
  }
  // An InstallLocation that cannot be read counts as an empty one: going on
  // without a folder would make the later stages search the package folder
  // and the root of the drive.
  std::wstring folder;
  std::wstring value_name = L"InstallLocation";
  ReadTrimmedText(*uninstall, value_name.c_str(), &folder);
  uninstall.reset();

  for (size_t i = 0; folder.empty() && i < kLanguageTagCount; ++i) {
    value_name = L"Location";
    std::unique_ptr<RegistryKey> product = OpenEitherView(
        registry, kProductPath, kProductPathWow, kLanguageTags[i], &key_path);
    if (product) ReadTrimmedText(*product, value_name.c_str(), &folder);
  }
  if (folder.empty()) {
    state.log.Line(L"no installation folder in the uninstall entry or the product keys");
    messages.Show(msg::kNotFound, msg::kErrorCaption, Messages::Style::kPlain);
    return LocateResult::kNotFound;
  }
  state.install_folder = folder;
  state.log.Line(L"installation folder " + folder + L" from HKEY_LOCAL_MACHINE\\" + key_path +
                 L", value " + value_name);
  return LocateResult::kFound;
}

}  // namespace kestrune
