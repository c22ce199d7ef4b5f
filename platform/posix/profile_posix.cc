#include <string>

#include "platform/posix/ini_file.h"
#include "platform/posix/posix_backend.h"
#include "platform/utf.h"

namespace kestrune::posix {

std::wstring PosixProfileReader::ReadString(const std::wstring& section,
                                            const std::wstring& key,
                                            const std::wstring& path,
                                            size_t capacity) {
  return ReadProfileString(Utf8FromWide(path), section, key, capacity);
}

}  // namespace kestrune::posix
