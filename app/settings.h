// The product identity a package builder writes beside the updater.
#ifndef KESTRUNE_APP_SETTINGS_H_
#define KESTRUNE_APP_SETTINGS_H_

#include <string>

#include "platform/platform.h"

namespace kestrune {

struct Settings {
  std::wstring product_name;
  std::wstring product_vernum;
  std::wstring product_core_guid;
};

Settings ReadSettings(ProfileReader& profile, const std::wstring& path);

// The name of the first key that is empty, in reading order; null when all
// three are set.
const wchar_t* FirstUnsetKey(const Settings& settings);

}  // namespace kestrune

#endif  // KESTRUNE_APP_SETTINGS_H_
