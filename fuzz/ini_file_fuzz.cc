// Feeds arbitrary bytes to the settings reader and checks what any answer
// must satisfy, so that lookups are exercised as well as parsing.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/posix/ini_file.h"

namespace {

struct Lookup {
  const wchar_t* section;
  const wchar_t* key;
};

constexpr Lookup kLookups[] = {
    {L"Product", L"ProductName"},
    {L"product", L"PRODUCTVERNUM"},
    {L" Product ", L"ProductCoreGUID"},
    {L"a", L"b"},
    {L"", L""},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  for (const Lookup& lookup : kLookups) {
    const std::wstring full = kestrune::posix::ProfileStringFromBytes(
        bytes, lookup.section, lookup.key, 260);
    if (full.size() > 259 || full.find(L'\0') != std::wstring::npos) abort();
    // A smaller buffer holds a prefix of what a larger one holds.
    const std::wstring cut = kestrune::posix::ProfileStringFromBytes(
        bytes, lookup.section, lookup.key, 4);
    if (cut != full.substr(0, 3)) abort();
    if (!kestrune::posix::ProfileStringFromBytes(bytes, lookup.section,
                                                 lookup.key, 0)
             .empty()) {
      abort();
    }
  }
  return 0;
}
