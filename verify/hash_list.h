// The package's list of SHA-256 hashes, in the format of the common
// sha256sum tool, so that a package builder can check a package with that
// tool as well as with the updater.
#ifndef KESTRUNE_VERIFY_HASH_LIST_H_
#define KESTRUNE_VERIFY_HASH_LIST_H_

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/sha256.h"

namespace kestrune {

struct HashEntry {
  std::wstring written;   // the path as the list writes it, "./" left out
  std::wstring relative;  // the same with the platform's separators
  Sha256Digest digest{};
};

// Lines of 64 hexadecimal digits, a space, a space or '*', and a path
// relative to the package folder; UTF-8 (a byte-order mark tolerated), '\'
// or '/' between folders, an optional leading "./", CR LF or LF line ends.
// Empty lines and lines starting with '#' are passed over, and so are paths
// that contain the updater's name. False with `bad_line` (counted from 1)
// for a line that does not fit.
bool ParseHashList(std::string_view bytes, wchar_t separator, std::vector<HashEntry>* entries,
                   size_t* bad_line);

// The list of `files` (relative paths, platform separators), in the given
// order, one "<hex>  <path>" line each.
std::string FormatHashList(const std::vector<std::pair<std::wstring, Sha256Digest>>& files);

}  // namespace kestrune

#endif  // KESTRUNE_VERIFY_HASH_LIST_H_
