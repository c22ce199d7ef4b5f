#include "platform/posix/elf_check.h"

#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>
#include <link.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/posix/text_file.h"

namespace kestrune::posix {
namespace {

// The C library this test runs with: a real shared object of this machine.
std::string SystemLibraryBytes() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&getpid), &info) == 0) return "";
  std::string bytes;
  return ReadFileBytes(info.dli_fname, &bytes) ? bytes : "";
}

template <typename T>
T Get(const std::string& bytes, size_t offset) {
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

template <typename T>
std::string Put(std::string bytes, size_t offset, T value) {
  std::memcpy(bytes.data() + offset, &value, sizeof value);
  return bytes;
}

TEST(ElfCheckTest, AcceptsOnlyAWholeSharedObjectOfThisMachine) {
  const std::string whole = SystemLibraryBytes();
  ASSERT_GT(whole.size(), sizeof(ElfW(Ehdr)));
  const auto header = Get<ElfW(Ehdr)>(whole, 0);
  const size_t table_end = header.e_phoff + header.e_phnum * sizeof(ElfW(Phdr));
  size_t load_at = 0, dynamic_at = 0;  // where the last such entry sits
  for (size_t at = header.e_phoff; at < table_end; at += sizeof(ElfW(Phdr))) {
    const auto type = Get<ElfW(Phdr)>(whole, at).p_type;
    if (type == PT_LOAD) load_at = at;
    if (type == PT_DYNAMIC) dynamic_at = at;
  }
  ASSERT_NE(load_at, 0u);
  ASSERT_NE(dynamic_at, 0u);
  const auto load = Get<ElfW(Phdr)>(whole, load_at);
  const size_t last_at = table_end - sizeof(ElfW(Phdr));
  const uint64_t load_middle = load.p_offset + load.p_filesz / 2;

  struct Case {
    const char* what;
    std::string file;  // the head the caller read is its first 64 KiB
    bool complete;
  };
  const Case cases[] = {
      {"whole", whole, true},
      {"cut in the middle of the last loaded segment", whole.substr(0, load_middle),
       false},
      {"cut inside the program header table", whole.substr(0, table_end - 1), false},
      {"64-bit and 32-bit swapped",
       Put<uint8_t>(whole, EI_CLASS, header.e_ident[EI_CLASS] ^ 3), false},
      {"other byte order", Put<uint8_t>(whole, EI_DATA, header.e_ident[EI_DATA] ^ 3),
       false},
      {"other machine", Put<uint16_t>(whole, offsetof(ElfW(Ehdr), e_machine), EM_SPARC),
       false},
      {"executable", Put<uint16_t>(whole, offsetof(ElfW(Ehdr), e_type), ET_EXEC), false},
      {"odd entry size",
       Put<uint16_t>(whole, offsetof(ElfW(Ehdr), e_phentsize), sizeof(ElfW(Phdr)) + 8),
       false},
      {"no program headers", Put<uint16_t>(whole, offsetof(ElfW(Ehdr), e_phnum), 0),
       false},
      {"dynamic section past the end",
       Put<ElfW(Off)>(whole, dynamic_at + offsetof(ElfW(Phdr), p_offset), whole.size()),
       false},
      {"last program header a loaded segment past the end",
       Put<ElfW(Off)>(Put<ElfW(Word)>(whole, last_at + offsetof(ElfW(Phdr), p_type), PT_LOAD),
                      last_at + offsetof(ElfW(Phdr), p_offset), whole.size()),
       false},
      {"segment end that wraps around",
       Put<ElfW(Off)>(whole, load_at + offsetof(ElfW(Phdr), p_offset),
                      ~ElfW(Off){0} - load.p_filesz / 2),
       false},
      {"empty", "", false},
      {"magic only", "\177ELF", false},
      {"header only", whole.substr(0, sizeof(ElfW(Ehdr))), false},
  };
  for (const Case& c : cases) {
    const std::string_view head =
        std::string_view(c.file).substr(0, kSharedObjectHeadSize);
    EXPECT_EQ(IsCompleteSharedObject(head, c.file.size()), c.complete) << c.what;
  }
  // The table must lie within what the caller read, not only within the file.
  EXPECT_FALSE(IsCompleteSharedObject(std::string_view(whole).substr(0, table_end - 1),
                                      whole.size()));
  EXPECT_TRUE(
      IsCompleteSharedObject(std::string_view(whole).substr(0, table_end), whole.size()));
}

}  // namespace
}  // namespace kestrune::posix
