#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/posix/io_posix.h"
#include "platform/posix/posix_backend.h"
#include "platform/text.h"
#include "platform/utf.h"

namespace kestrune::posix {
namespace {

// Whether a descriptor of the process in `proc` ("/proc/<pid>") is open on
// the file `target`.
bool HasOpen(const std::string& proc, const struct stat& target) {
  const std::string folder = proc + "/fd";
  DIR* fds = opendir(folder.c_str());
  if (fds == nullptr) return false;  // gone, or another user's
  bool found = false;
  while (const dirent* entry = readdir(fds)) {
    if (entry->d_name[0] == '.') continue;
    // stat follows the descriptor to the file itself, wherever it is now.
    struct stat opened {};
    if (stat((folder + "/" + entry->d_name).c_str(), &opened) == 0 && SameFile(opened, target)) {
      found = true;
      break;
    }
  }
  closedir(fds);
  return found;
}

// Whether the process in `proc` has the file `target` mapped (a library it
// loaded, say): each line of its maps names the device and inode.
bool HasMapped(const std::string& proc, const struct stat& target) {
  FILE* maps = fopen((proc + "/maps").c_str(), "re");
  if (maps == nullptr) return false;
  bool found = false;
  char line[4096];
  while (!found && fgets(line, sizeof line, maps) != nullptr) {
    unsigned major_id = 0, minor_id = 0;
    unsigned long long inode = 0;
    if (sscanf(line, "%*s %*s %*s %x:%x %llu", &major_id, &minor_id, &inode) == 3 && inode != 0) {
      found = inode == target.st_ino && makedev(major_id, minor_id) == target.st_dev;
    }
    // A line longer than the buffer goes on in the next read: skip to its end.
    while (strchr(line, '\n') == nullptr && fgets(line, sizeof line, maps) != nullptr) {
    }
  }
  fclose(maps);
  return found;
}

// The name a person knows the process by: its program's file name, or the
// kernel's short name where the program cannot be read.
std::wstring NameOf(const std::string& proc) {
  std::string image;
  if (ReadLink(proc + "/exe", &image)) {
    return WideFromUtf8(image.substr(image.rfind('/') + 1));
  }
  std::string comm;
  if (FILE* file = fopen((proc + "/comm").c_str(), "re")) {
    char name[64] = "";
    if (fgets(name, sizeof name, file) != nullptr) comm = name;
    fclose(file);
  }
  while (!comm.empty() && comm.back() == '\n') comm.pop_back();
  return WideFromUtf8(comm);
}

}  // namespace

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

std::vector<FileHolder> PosixProcessList::Holders(const std::wstring& path) {
  std::vector<FileHolder> holders;
  struct stat target {};
  std::vector<uint32_t> ids;
  if (stat(Utf8FromWide(path).c_str(), &target) != 0 || !Enumerate(&ids)) return holders;
  const uint32_t self = static_cast<uint32_t>(getpid());
  for (uint32_t id : ids) {
    if (id == self) continue;
    const std::string proc = "/proc/" + std::to_string(id);
    if (HasOpen(proc, target) || HasMapped(proc, target)) {
      holders.push_back(FileHolder{id, NameOf(proc)});
    }
  }
  return holders;
}

}  // namespace kestrune::posix
