#include <dirent.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

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
  const std::string link = "/proc/" + std::to_string(id) + "/exe";
  std::string buffer(512, '\0');
  for (;;) {
    // Kernel threads and other users' processes refuse this; they are passed
    // over, as processes that cannot be opened are on Windows.
    const ssize_t length = readlink(link.c_str(), buffer.data(), buffer.size());
    if (length < 0) return false;
    if (static_cast<size_t>(length) < buffer.size()) {
      buffer.resize(static_cast<size_t>(length));
      *path = WideFromUtf8(buffer);
      return true;
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::wstring PosixProcessList::ComparableProductPath(const std::wstring& folder,
                                                    const std::wstring& name) {
  char* real = realpath(Utf8FromWide(folder).c_str(), nullptr);
  if (real == nullptr) return JoinPath(folder, name, L'/');
  const std::wstring resolved = WideFromUtf8(real);
  free(real);
  return JoinPath(resolved, name, L'/');
}

}  // namespace kestrune::posix
