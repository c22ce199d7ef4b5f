#include "run/own_files.h"

#include "platform/text.h"
#include "run/names.h"

namespace kestrune {

bool OwnFiles::Holds(std::wstring_view relative) const {
  relative = WithoutLeadingSeparators(relative, separator_);
  if (HoldsUpdaterMarker(relative, separator_)) return true;
  for (wchar_t c : relative) {
    if (IsSeparator(c, separator_)) return false;
  }
  return IsBesideUpdater(relative);
}

bool OwnFiles::IsBesideUpdater(std::wstring_view name) const {
  for (const std::wstring& own : names_) {
    if (separator_ == L'\\' ? EqualsIgnoreAsciiCase(name, own) : name == own) return true;
  }
  return false;
}

}  // namespace kestrune
