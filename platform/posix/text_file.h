// Reading the small text files the POSIX port takes in place of Windows
// services: the settings file and the registry export.
#ifndef KESTRUNE_PLATFORM_POSIX_TEXT_FILE_H_
#define KESTRUNE_PLATFORM_POSIX_TEXT_FILE_H_

#include <string>
#include <string_view>

namespace kestrune::posix {

// The whole file, when it is a regular file that can be read.
bool ReadFileBytes(const std::string& path, std::string* bytes);

// UTF-16 (either byte order) after its byte-order mark, otherwise UTF-8 (a UTF-8 byte-order
// mark is skipped).
std::wstring DecodeText(std::string_view bytes);

// The line that starts at *pos; moves *pos past its end (CR LF, LF or CR).
std::wstring_view NextLine(std::wstring_view text, size_t* pos);

}  // namespace kestrune::posix

#endif  // KESTRUNE_PLATFORM_POSIX_TEXT_FILE_H_
