#include <dlfcn.h>
#include <sys/stat.h>

#include <string>

#include "platform/posix/posix_backend.h"
#include "platform/utf.h"

namespace kestrune::posix {
namespace {

// Where a Windows library exports its version entry by ordinal, a shared
// object exports it by this name.
constexpr char kVersionEntry[] = "vouinfo_ordinal_18";
using VersionEntry = int32_t (*)(void* buffer, int32_t size, int32_t flags);

}  // namespace

VersionLibrary::Outcome PosixVersionLibrary::CallVersionEntry(
    const std::wstring& path, uint8_t* buffer, int32_t size, int32_t flags) {
  const std::string file = Utf8FromWide(path);
  // The loader opens the file blocking: a FIFO in its place would hold the
  // run forever.
  struct stat st;
  if (stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return Outcome::kNotLoaded;
  void* library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return Outcome::kNotLoaded;
  void* symbol = dlsym(library, kVersionEntry);
  if (symbol == nullptr) {
    dlclose(library);
    return Outcome::kNoEntry;
  }
  reinterpret_cast<VersionEntry>(symbol)(buffer, size, flags);
  dlclose(library);
  return Outcome::kCalled;
}

}  // namespace kestrune::posix
