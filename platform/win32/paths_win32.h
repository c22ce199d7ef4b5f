// Path forms the Win32 back-end hands to the system.
#ifndef KESTRUNE_PLATFORM_WIN32_PATHS_WIN32_H_
#define KESTRUNE_PLATFORM_WIN32_PATHS_WIN32_H_

#include <string>

#include "platform/win32/windows_h.h"

namespace kestrune::win32 {

// The full path: relative paths taken against the current folder, '/' made
// '\', doubled separators, "." and ".." resolved. "" when it cannot be made.
std::wstring FullPath(const std::wstring& path);

// The full path in the "\\?\" form, which the wide file functions take up to
// 32,767 units long; the path as it is when it cannot be made full.
std::wstring ExtendedPath(const std::wstring& path);

// The full path with every short (8.3) name of an existing part replaced by
// its long name; parts that do not exist are kept as they are.
std::wstring LongPath(const std::wstring& path);

// Where the system can tell it (Vista and later): the path of the file or
// folder that `path` really leads to, links resolved, in the plain drive or
// UNC form. "" otherwise.
std::wstring FinalPath(const std::wstring& path);

// The same for a file or folder already open on `handle`; "" where the
// system cannot tell.
std::wstring FinalPathOf(HANDLE handle);

// A path in the "\\?\" form back in the plain drive or UNC form.
std::wstring PlainPath(const std::wstring& path);

// Letter case folded as the file system folds it when it compares names.
std::wstring FoldCase(const std::wstring& path);

}  // namespace kestrune::win32

#endif  // KESTRUNE_PLATFORM_WIN32_PATHS_WIN32_H_
