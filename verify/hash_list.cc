#include "verify/hash_list.h"

#include "platform/text.h"
#include "platform/utf.h"
#include "run/names.h"

namespace kestrune {
namespace {

constexpr size_t kHexDigits = 2 * kSha256Size;

// sha256sum escapes a name holding a backslash or a line feed and marks the
// line with a leading backslash.
bool Unescape(std::string_view name, std::string* out) {
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] != '\\') {
      *out += name[i];
    } else if (i + 1 < name.size() && (name[i + 1] == '\\' || name[i + 1] == 'n')) {
      *out += name[++i] == 'n' ? '\n' : '\\';
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

bool ParseHashList(std::string_view bytes, wchar_t separator, std::vector<HashEntry>* entries,
                   size_t* bad_line) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  size_t number = 0;
  while (!bytes.empty()) {
    ++number;
    const size_t end = bytes.find('\n');
    std::string_view line = bytes.substr(0, end);
    bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line[0] == '#') continue;
    const bool escaped = line[0] == '\\';
    if (escaped) line.remove_prefix(1);
    HashEntry entry;
    std::string name;
    *bad_line = number;
    if (line.size() < kHexDigits + 3 || line[kHexDigits] != ' ' ||
        (line[kHexDigits + 1] != ' ' && line[kHexDigits + 1] != '*') ||
        !ParseHexDigest(WideFromUtf8(line.substr(0, kHexDigits)), &entry.digest)) {
      return false;
    }
    line.remove_prefix(kHexDigits + 2);
    if (!escaped) {
      name.assign(line);
    } else if (!Unescape(line, &name)) {
      return false;
    }
    std::wstring path = WideFromUtf8(name);
    if (path.compare(0, 2, L"./") == 0 || path.compare(0, 2, L".\\") == 0) path.erase(0, 2);
    while (!path.empty() && (path[0] == L'/' || path[0] == L'\\')) path.erase(0, 1);
    if (path.empty()) return false;
    if (HoldsUpdaterMarker(path, separator)) continue;
    entry.written = path;
    for (wchar_t& c : path) {
      if (c == L'/' || c == L'\\') c = separator;
    }
    entry.relative = std::move(path);
    entries->push_back(std::move(entry));
  }
  *bad_line = 0;
  return true;
}

std::string FormatHashList(const std::vector<std::pair<std::wstring, Sha256Digest>>& files) {
  std::string text;
  for (const auto& [relative, digest] : files) {
    text += Utf8FromWide(HexOf(digest));
    text += "  ";
    text += Utf8FromWide(relative);
    text += '\n';
  }
  return text;
}

}  // namespace kestrune
