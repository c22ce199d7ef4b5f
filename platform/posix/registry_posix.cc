#include <cstdlib>

#include "platform/posix/posix_backend.h"
#include "platform/utf.h"

namespace kestrune::posix {
namespace {

constexpr char kRegistryVariable[] = "KESTRUNE_REGISTRY";
constexpr char kDefaultRegistry[] = "/etc/kestrune/registry.reg";

class PosixRegistryKey : public RegistryKey {
 public:
  PosixRegistryKey(const RegFile& file, std::wstring path)
      : file_(file), path_(std::move(path)) {}

  bool ReadValue(const std::wstring& name, size_t capacity,
                 std::vector<uint8_t>* bytes) override {
    const std::vector<uint8_t>* value = file_.Value(path_, name);
    if (value == nullptr || value->size() > capacity) return false;
    *bytes = *value;
    return true;
  }

 private:
  const RegFile& file_;
  const std::wstring path_;
};

}  // namespace

const RegFile& PosixRegistry::File() {
  if (!file_) {
    const char* named = std::getenv(kRegistryVariable);
    file_ = std::make_unique<RegFile>(
        RegFile::Load(named != nullptr ? named : kDefaultRegistry));
  }
  return *file_;
}

std::unique_ptr<RegistryKey> PosixRegistry::OpenKey(const std::wstring& path) {
  const RegFile& file = File();
  if (!file.HasKey(path)) return nullptr;
  return std::make_unique<PosixRegistryKey>(file, path);
}

}  // namespace kestrune::posix
