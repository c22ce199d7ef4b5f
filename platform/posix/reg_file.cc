#include "platform/posix/reg_file.h"

#include <utility>

#include "platform/posix/text_file.h"
#include "platform/text.h"
#include "platform/utf.h"

namespace kestrune::posix {
namespace {

constexpr std::wstring_view kRoot = L"HKEY_LOCAL_MACHINE";

std::wstring_view TrimEnd(std::wstring_view text) {
  size_t end = text.size();
  while (end > 0 && IsSpace(text[end - 1])) --end;
  return text.substr(0, end);
}

bool StartsWith(std::wstring_view text, std::wstring_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Lower-cased, with one trailing backslash dropped, as RegOpenKeyExW treats it.
std::wstring NormalKeyPath(std::wstring_view path) {
  if (!path.empty() && path.back() == L'\\') path.remove_suffix(1);
  return ToLowerAscii(path);
}

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// 1 to `max_digits` hex digits and nothing else.
bool ParseHex(std::wstring_view digits, size_t max_digits, uint32_t* number) {
  if (digits.empty() || digits.size() > max_digits) return false;
  *number = 0;
  for (wchar_t c : digits) {
    const int digit = HexDigit(c);
    if (digit < 0) return false;
    *number = (*number << 4) | static_cast<uint32_t>(digit);
  }
  return true;
}

// A quoted text at the start of `text`, with \\ and \" unescaped; any other
// backslash is kept. Sets *end past the closing quote.
bool ParseQuoted(std::wstring_view text, std::wstring* out, size_t* end) {
  for (size_t i = 1; i < text.size(); ++i) {
    if (text[i] == L'"') {
      *end = i + 1;
      return true;
    }
    if (text[i] == L'\\' && i + 1 < text.size() &&
        (text[i + 1] == L'\\' || text[i + 1] == L'"')) {
      ++i;
    }
    out->push_back(text[i]);
  }
  return false;
}

// The length of the "hex:" or "hex(type):" that starts `data`, or 0.
size_t HexPrefixLength(std::wstring_view data) {
  if (StartsWith(data, L"hex:")) return 4;
  const size_t close = data.find(L"):");
  uint32_t type = 0;
  if (!StartsWith(data, L"hex(") || close == std::wstring_view::npos ||
      !ParseHex(data.substr(4, close - 4), 8, &type)) {
    return 0;
  }
  return close + 2;
}

// Comma-separated bytes of one or two hex digits; "" is no bytes.
bool ParseHexBytes(std::wstring_view list, std::vector<uint8_t>* bytes) {
  list = TrimSpaceView(list);
  while (!list.empty()) {
    const size_t comma = list.find(L',');
    uint32_t byte = 0;
    if (!ParseHex(TrimSpaceView(list.substr(0, comma)), 2, &byte)) return false;
    bytes->push_back(static_cast<uint8_t>(byte));
    if (comma == std::wstring_view::npos) break;
    list.remove_prefix(comma + 1);
    if (list.empty()) return false;
  }
  return true;
}

}  // namespace

RegFile RegFile::Parse(std::string_view file_bytes) {
  RegFile file;
  const std::wstring text = DecodeText(file_bytes);
  size_t pos = 0;
  const std::wstring_view header = TrimEnd(NextLine(text, &pos));
  if (header != L"Windows Registry Editor Version 5.00" &&
      header != L"REGEDIT4") {
    return file;
  }
  // Values of the section being read; null outside HKEY_LOCAL_MACHINE, under
  // a deletion and after a header that cannot be read.
  ValueMap* values = nullptr;
  while (pos < text.size()) {
    const std::wstring_view line = TrimSpaceView(NextLine(text, &pos));
    if (line.empty() || line[0] == L';') continue;
    if (line[0] == L'[') {
      values = file.OpenSection(line);
      continue;
    }
    std::wstring name;
    size_t name_end = 1;
    if (line[0] == L'"') {
      if (!ParseQuoted(line, &name, &name_end)) continue;
    } else if (line[0] != L'@') {
      continue;
    }
    std::wstring_view data = TrimSpaceView(line.substr(name_end));
    if (data.empty() || data[0] != L'=') continue;
    data = TrimSpaceView(data.substr(1));

    std::vector<uint8_t> bytes;
    if (data == L"-") {
      continue;  // Deletions are understood but change nothing here.
    } else if (StartsWith(data, L"\"")) {
      std::wstring string;
      size_t string_end = 0;
      if (!ParseQuoted(data, &string, &string_end) ||
          string_end != data.size()) {
        continue;
      }
      bytes = Utf16LeFromWide(string);
      bytes.insert(bytes.end(), {0, 0});
    } else if (StartsWith(data, L"dword:")) {
      uint32_t number = 0;
      if (!ParseHex(data.substr(6), 8, &number)) continue;
      for (int shift = 0; shift < 32; shift += 8) {
        bytes.push_back(static_cast<uint8_t>(number >> shift));
      }
    } else if (const size_t prefix = HexPrefixLength(data); prefix != 0) {
      // A line ending in a backslash continues on the next one.
      std::wstring list(data.substr(prefix));
      while (!list.empty() && list.back() == L'\\' && pos < text.size()) {
        list.pop_back();
        list += TrimSpaceView(NextLine(text, &pos));
      }
      if (!ParseHexBytes(list, &bytes)) continue;
    } else {
      continue;
    }
    // Later definitions replace earlier ones, as an import would.
    if (values != nullptr) (*values)[ToLowerAscii(name)] = std::move(bytes);
  }
  return file;
}

RegFile RegFile::Load(const std::string& path) {
  std::string bytes;
  if (!ReadFileBytes(path, &bytes)) return RegFile();
  return Parse(bytes);
}

RegFile::ValueMap* RegFile::OpenSection(std::wstring_view header_line) {
  const size_t close = header_line.rfind(L']');
  if (close == std::wstring_view::npos) return nullptr;
  std::wstring_view path = header_line.substr(1, close - 1);
  // A deletion, [-HKEY_LOCAL_MACHINE\...], fails the root test and so opens
  // nothing; its values are dropped with it.
  const size_t backslash = path.find(L'\\');
  if (!EqualsIgnoreAsciiCase(path.substr(0, backslash), kRoot)) return nullptr;
  path = backslash == std::wstring_view::npos ? std::wstring_view()
                                              : path.substr(backslash + 1);
  return &keys_[NormalKeyPath(path)];
}

bool RegFile::HasKey(std::wstring_view path) const {
  if (keys_.empty()) return false;
  const std::wstring key = NormalKeyPath(path);
  if (key.empty() || keys_.count(key) != 0) return true;
  // Descendants sort together right from the path and a backslash.
  const std::wstring prefix = key + L'\\';
  const auto it = keys_.lower_bound(prefix);
  return it != keys_.end() && StartsWith(it->first, prefix);
}

const std::vector<uint8_t>* RegFile::Value(std::wstring_view key_path,
                                           std::wstring_view value_name) const {
  const auto key = keys_.find(NormalKeyPath(key_path));
  if (key == keys_.end()) return nullptr;
  const auto value = key->second.find(ToLowerAscii(value_name));
  return value == key->second.end() ? nullptr : &value->second;
}

}  // namespace kestrune::posix
