// Paths the run derives from its own executable.
#ifndef KESTRUNE_APP_PATHS_H_
#define KESTRUNE_APP_PATHS_H_

#include <string>

#include "run/own_files.h"

namespace kestrune {

// The executable's folder: everything before the last separator, or "" when
// there is none.
std::wstring PackageFolderOf(const std::wstring& module_path, wchar_t separator);

// The executable path with its file name's extension replaced by "ini", or
// ".ini" appended when the file name has none.
std::wstring SettingsPathOf(const std::wstring& module_path, wchar_t separator);

// The package's list of hashes: named like the settings file, with the
// extension "sha256".
std::wstring HashListPathOf(const std::wstring& module_path, wchar_t separator);

// The updater's own files beside it, whatever it is called: itself, its
// settings file, its list of hashes and that list's draft.
OwnFiles OwnFilesOf(const std::wstring& module_path, wchar_t separator);

// The executable's file name, as the usage names the program.
std::wstring FileNameOf(const std::wstring& module_path, wchar_t separator);

// The executable's file name without its extension: the caption of the
// framework message box.
std::wstring AppTitleOf(const std::wstring& module_path, wchar_t separator);

}  // namespace kestrune

#endif  // KESTRUNE_APP_PATHS_H_
