// The POSIX port's machine-wide registry: a file in the Windows registry
// export format, read once and looked up in memory.
#ifndef KESTRUNE_PLATFORM_POSIX_REG_FILE_H_
#define KESTRUNE_PLATFORM_POSIX_REG_FILE_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kestrune::posix {

// The HKEY_LOCAL_MACHINE keys and values of a registry export. Paths are
// relative to that root, backslash separated; key paths and value names
// match without regard to ASCII case.
class RegFile {
 public:
  // Never fails: input that cannot be read gives fewer keys, or none.
  static RegFile Parse(std::string_view file_bytes);
  // An absent or unreadable file gives no keys.
  static RegFile Load(const std::string& path);

  // True when the key at `path` or a key below it is in the file; one
  // trailing backslash names the same key, and "" is the root.
  bool HasKey(std::wstring_view path) const;

  // The value's bytes (a string value as UTF-16LE with its zero terminator),
  // or nullptr when the key or value is absent. "" names the default value.
  const std::vector<uint8_t>* Value(std::wstring_view key_path,
                                    std::wstring_view value_name) const;

 private:
  using ValueMap = std::unordered_map<std::wstring, std::vector<uint8_t>>;

  ValueMap* OpenSection(std::wstring_view header_line);

  // Keyed by lower-cased path; ordered so that a key's descendants are found
  // by a prefix search.
  std::map<std::wstring, ValueMap> keys_;
};

}  // namespace kestrune::posix

#endif  // KESTRUNE_PLATFORM_POSIX_REG_FILE_H_
