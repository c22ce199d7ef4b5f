#include "platform/posix/elf_check.h"

#include <elf.h>

#include <cstring>
#include <type_traits>

namespace kestrune::posix {
namespace {

// The loader takes only objects of the class, byte order and machine it was
// built for, so the check reads the headers in this build's own layout and
// refuses any other.
constexpr bool k64Bit = sizeof(void*) == 8;
using Ehdr = std::conditional_t<k64Bit, Elf64_Ehdr, Elf32_Ehdr>;
using Phdr = std::conditional_t<k64Bit, Elf64_Phdr, Elf32_Phdr>;
constexpr unsigned char kClass = k64Bit ? ELFCLASS64 : ELFCLASS32;
constexpr unsigned char kData =
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;

#if defined(__x86_64__)
constexpr uint16_t kMachine = EM_X86_64;
#elif defined(__i386__)
constexpr uint16_t kMachine = EM_386;
#elif defined(__aarch64__)
constexpr uint16_t kMachine = EM_AARCH64;
#elif defined(__arm__)
constexpr uint16_t kMachine = EM_ARM;
#elif defined(__riscv)
constexpr uint16_t kMachine = EM_RISCV;
#elif defined(__powerpc64__)
constexpr uint16_t kMachine = EM_PPC64;
#elif defined(__s390x__)
constexpr uint16_t kMachine = EM_S390;
#else
#error "elf_check.cc does not know this machine's ELF e_machine value"
#endif

// Whether [offset, offset + size) lies within [0, limit), without letting
// the sum of two fields from the file overflow.
bool Within(uint64_t offset, uint64_t size, uint64_t limit) {
  return size <= limit && offset <= limit - size;
}

// The caller has checked that the bytes lie within `head`; memcpy because
// they need not be aligned.
template <typename T>
T Read(std::string_view head, size_t offset) {
  T value;
  std::memcpy(&value, head.data() + offset, sizeof value);
  return value;
}

}  // namespace

bool IsCompleteSharedObject(std::string_view head, uint64_t file_size) {
  if (head.size() < sizeof(Ehdr) || head.size() > file_size) return false;
  const auto header = Read<Ehdr>(head, 0);
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != kClass || header.e_ident[EI_DATA] != kData ||
      header.e_ident[EI_VERSION] != EV_CURRENT || header.e_version != EV_CURRENT ||
      header.e_type != ET_DYN || header.e_machine != kMachine ||
      header.e_phentsize != sizeof(Phdr)) {
    return false;
  }
  // At most 65535 entries of a few dozen bytes: the product cannot overflow.
  const uint64_t table_size = uint64_t{header.e_phnum} * sizeof(Phdr);
  if (!Within(header.e_phoff, table_size, head.size())) return false;

  // The loader maps whole pages around each segment, but it only touches the
  // bytes a segment's file range names: the page holding the end of the
  // file is safe, any page past it is not.
  bool has_load = false;
  for (size_t i = 0; i < header.e_phnum; ++i) {
    const auto segment =
        Read<Phdr>(head, static_cast<size_t>(header.e_phoff) + i * sizeof(Phdr));
    if (segment.p_type != PT_LOAD && segment.p_type != PT_DYNAMIC) continue;
    if (!Within(segment.p_offset, segment.p_filesz, file_size)) return false;
    has_load = has_load || segment.p_type == PT_LOAD;
  }
  return has_load;
}

}  // namespace kestrune::posix
