// Feeds arbitrary bytes to the registry file reader and checks that lookups
// on the result agree with each other.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/posix/reg_file.h"

namespace {

struct Key {
  const wchar_t* path;
  const wchar_t* parent;
};

constexpr Key kKeys[] = {
    {L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{8A2F-11}",
     L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"},
    {L"SOFTWARE\\Wow6432Node\\ORVELIN\\VORDA\\2015\\en-US",
     L"software\\wow6432node\\orvelin\\vorda\\2015"},
    {L"a\\b", L"A"},
    {L"a", L""},
};

constexpr const wchar_t* kNames[] = {L"InstallLocation", L"Location", L"a",
                                     L""};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const kestrune::posix::RegFile file = kestrune::posix::RegFile::Parse(
      std::string_view(reinterpret_cast<const char*>(data), size));
  for (const Key& key : kKeys) {
    const bool opens = file.HasKey(key.path);
    // A key opens whenever a key below it does.
    if (opens && !file.HasKey(key.parent)) abort();
    // One trailing backslash names the same key.
    const std::wstring slashed = std::wstring(key.path) + L'\\';
    if (file.HasKey(slashed) != opens) abort();
    for (const wchar_t* name : kNames) {
      const auto* value = file.Value(key.path, name);
      if (value != nullptr && !opens) abort();
      if (file.Value(slashed, name) != value) abort();
    }
  }
  return 0;
}
