#include <dirent.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "platform/posix/io_posix.h"
#include "platform/posix/posix_backend.h"
#include "platform/text.h"
#include "platform/utf.h"

namespace kestrune::posix {

bool PosixProcessList::Enumerate(std::vector<uint32_t>* ids) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return false;
  ids->clear();
  while (const dirent* entry = readdir(proc)) {
    const char* name = entry->d_name;
    if (*name < '1' || *name > '9') continue;
    char* end = nullptr;
    const unsigned long id = std::strtoul(name, &end, 10);
    if (*end == '\0' && id <= UINT32_MAX) ids->push_back(static_cast<uint32_t>(id));
  }
  closedir(proc);
  return true;
}

bool PosixProcessList::ImagePath(uint32_t id, std::wstring* path) {
  // Kernel threads and other users' processes refuse this; they are passed
  // over, as processes that cannot be opened are on Windows.
  std::string image;
  if (!ReadLink("/proc/" + std::to_string(id) + "/exe", &image)) return false;
  *path = WideFromUtf8(image);
  return true;
}

std::wstring PosixProcessList::ComparableProductPath(const std::wstring& folder,
                                                    const std::wstring& name) {
  char* real = realpath(Utf8FromWide(folder).c_str(), nullptr);
  if (real == nullptr) return JoinPath(folder, name, L'/');
  const std::wstring resolved = WideFromUtf8(real);
  free(real);
  return JoinPath(resolved, name, L'/');
}

std::wstring PosixProcessList::DisplayPath(const std::wstring& path) {
  char* real = realpath(Utf8FromWide(path).c_str(), nullptr);
  if (real != nullptr) {
    const std::wstring resolved = WideFromUtf8(real);
    free(real);
    return resolved;
  }
  // Not there (yet): only the doubled separators go.
  std::wstring single;
  for (wchar_t c : path) {
    if (c != L'/' || single.empty() || single.back() != L'/') single += c;
  }
  return single;
}

}  // namespace kestrune::posix
