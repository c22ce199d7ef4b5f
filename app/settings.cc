#include "app/settings.h"

namespace kestrune {
namespace {

constexpr wchar_t kSection[] = L"Product";
constexpr wchar_t kProductName[] = L"ProductName";
constexpr wchar_t kProductVernum[] = L"ProductVERNUM";
constexpr wchar_t kProductCoreGuid[] = L"ProductCoreGUID";
constexpr size_t kValueCapacity = 260;

}  // namespace

Settings ReadSettings(ProfileReader& profile, const std::wstring& path) {
  Settings settings;
  settings.product_name = profile.ReadString(kSection, kProductName, path, kValueCapacity);
  settings.product_vernum = profile.ReadString(kSection, kProductVernum, path, kValueCapacity);
  settings.product_core_guid =
      profile.ReadString(kSection, kProductCoreGuid, path, kValueCapacity);
  return settings;
}

const wchar_t* FirstUnsetKey(const Settings& settings) {
  if (settings.product_name.empty()) return kProductName;
  if (settings.product_vernum.empty()) return kProductVernum;
  if (settings.product_core_guid.empty()) return kProductCoreGuid;
  return nullptr;
}

}  // namespace kestrune
