// A check of a shared object's headers before the loader maps it: the loader
// maps each segment as the headers describe it, and touching a page that lies
// past the end of the file raises SIGBUS, which ends the run.
#ifndef KESTRUNE_PLATFORM_POSIX_ELF_CHECK_H_
#define KESTRUNE_PLATFORM_POSIX_ELF_CHECK_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kestrune::posix {

// How much of the file's start the check wants to see. Linkers put the
// program header table right after the ELF header; one that lies further in
// is refused.
constexpr size_t kSharedObjectHeadSize = 64 * 1024;

// True when `head`, the first bytes of a file of `file_size` bytes, starts a
// shared object of this machine whose program header table lies within
// `head` and whose loaded segments and dynamic section lie within the file.
// Only bytes of `head` are read; any other input gives false.
bool IsCompleteSharedObject(std::string_view head, uint64_t file_size);

}  // namespace kestrune::posix

#endif  // KESTRUNE_PLATFORM_POSIX_ELF_CHECK_H_
