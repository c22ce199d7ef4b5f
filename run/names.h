// The names the updater's own files carry. A packaged path that holds the
// marker is never copied, listed or checked, so no packaged file can take
// the name of the updater's journal or lock.
#ifndef KESTRUNE_RUN_NAMES_H_
#define KESTRUNE_RUN_NAMES_H_

#include <string_view>

#include "platform/text.h"

namespace kestrune {

inline constexpr wchar_t kUpdaterMarker[] = L"Kestrune";
// Ends the names the updater gives installed files for a while: set aside
// (D.~kestrune, D.~kestrune1, ...) and copied in (D.~kestrune-<run>).
inline constexpr wchar_t kScratchSuffix[] = L".~kestrune";

inline constexpr wchar_t kJournalName[] = L"Kestrune.journal";
inline constexpr wchar_t kJournalDraftName[] = L"Kestrune.journal.new";
inline constexpr wchar_t kLockName[] = L"Kestrune.lock";
// Follows the list of hashes' name while /write-hashes writes a new one.
inline constexpr wchar_t kListDraftSuffix[] = L".new";

// True when `path` carries the marker. On Windows (separator '\\') in any
// letter case: there "KESTRUNE.JOURNAL" names the journal too.
inline bool HoldsUpdaterMarker(std::wstring_view path, wchar_t separator) {
  const std::wstring_view marker = kUpdaterMarker;
  if (separator != L'\\') return path.find(marker) != std::wstring_view::npos;
  // Every packaged path is asked: the first letter is compared here, the
  // rest only where it matches.
  const wchar_t upper = marker[0] & ~L' ';
  for (size_t at = 0; at + marker.size() <= path.size(); ++at) {
    if ((path[at] & ~L' ') == upper &&
        EqualsIgnoreAsciiCase(path.substr(at + 1, marker.size() - 1), marker.substr(1))) {
      return true;
    }
  }
  return false;
}

}  // namespace kestrune

#endif  // KESTRUNE_RUN_NAMES_H_
