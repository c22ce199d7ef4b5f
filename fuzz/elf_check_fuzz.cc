// Feeds arbitrary bytes, taken as a whole file, to the check of a shared
// object's headers, and checks that the answer rests on the headers alone:
// growing the file or changing bytes past them never turns it.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "platform/posix/elf_check.h"

namespace {

using kestrune::posix::IsCompleteSharedObject;
using kestrune::posix::kSharedObjectHeadSize;

// The head in a buffer of exactly its size, so that AddressSanitizer stops
// any read past what the caller read.
bool Check(const uint8_t* data, size_t head_size, uint64_t file_size) {
  std::unique_ptr<char[]> head(new char[head_size]);
  if (head_size > 0) std::memcpy(head.get(), data, head_size);
  return IsCompleteSharedObject(std::string_view(head.get(), head_size), file_size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t head_size = std::min(size, kSharedObjectHeadSize);
  if (!Check(data, head_size, size)) return 0;
  // A file that grows keeps every range it held.
  if (!Check(data, head_size, uint64_t{size} + 1) ||
      !Check(data, head_size, UINT64_MAX)) {
    abort();
  }
  // The shortest head that is still accepted ends where the headers end; a
  // longer head is accepted too, whatever its further bytes hold.
  size_t rejected = 0, accepted = head_size;
  while (rejected + 1 < accepted) {
    const size_t middle = rejected + (accepted - rejected) / 2;
    (Check(data, middle, size) ? accepted : rejected) = middle;
  }
  std::unique_ptr<uint8_t[]> changed(new uint8_t[head_size]);
  std::memcpy(changed.get(), data, head_size);
  for (size_t i = accepted; i < head_size; ++i) changed[i] ^= 0xFF;
  for (size_t longer : {accepted, (accepted + head_size) / 2, head_size}) {
    if (!Check(changed.get(), longer, size)) abort();
  }
  return 0;
}
