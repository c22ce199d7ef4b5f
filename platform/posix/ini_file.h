// The POSIX port's reader of the settings (private-profile) file, following
// the rules of the Windows call the Windows program makes.
#ifndef KESTRUNE_PLATFORM_POSIX_INI_FILE_H_
#define KESTRUNE_PLATFORM_POSIX_INI_FILE_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrune::posix {

// The value of `key` in `section` of an INI file given as its bytes, as a
// buffer of `capacity` wide characters would hold it (at most capacity - 1 of
// them); "" when the section or key is missing.
std::wstring ProfileStringFromBytes(std::string_view file_bytes,
                                    std::wstring_view section,
                                    std::wstring_view key, size_t capacity);

// Same, reading the file at a UTF-8 path; a file that is missing or cannot
// be read gives "".
std::wstring ReadProfileString(const std::string& path,
                               std::wstring_view section, std::wstring_view key,
                               size_t capacity);

}  // namespace kestrune::posix

#endif  // KESTRUNE_PLATFORM_POSIX_INI_FILE_H_
