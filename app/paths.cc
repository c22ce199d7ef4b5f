#include "app/paths.h"

#include "platform/text.h"
#include "run/names.h"

namespace kestrune {
namespace {

size_t FileNameStart(const std::wstring& path, wchar_t separator) {
  for (size_t i = path.size(); i > 0; --i) {
    if (IsSeparator(path[i - 1], separator)) return i;
  }
  return 0;
}

}  // namespace

std::wstring PackageFolderOf(const std::wstring& module_path, wchar_t separator) {
  const size_t name_start = FileNameStart(module_path, separator);
  return name_start == 0 ? std::wstring() : module_path.substr(0, name_start - 1);
}

namespace {

std::wstring WithExtension(const std::wstring& module_path, wchar_t separator,
                           const wchar_t* extension) {
  const size_t name_start = FileNameStart(module_path, separator);
  const size_t dot = module_path.rfind(L'.');
  if (dot == std::wstring::npos || dot < name_start) return module_path + L"." + extension;
  return module_path.substr(0, dot + 1) + extension;
}

}  // namespace

std::wstring SettingsPathOf(const std::wstring& module_path, wchar_t separator) {
  return WithExtension(module_path, separator, L"ini");
}

std::wstring HashListPathOf(const std::wstring& module_path, wchar_t separator) {
  return WithExtension(module_path, separator, L"sha256");
}

OwnFiles OwnFilesOf(const std::wstring& module_path, wchar_t separator) {
  const std::wstring list = FileNameOf(HashListPathOf(module_path, separator), separator);
  return OwnFiles({FileNameOf(module_path, separator),
                   FileNameOf(SettingsPathOf(module_path, separator), separator), list,
                   list + kListDraftSuffix},
                  separator);
}

std::wstring FileNameOf(const std::wstring& module_path, wchar_t separator) {
  return module_path.substr(FileNameStart(module_path, separator));
}

std::wstring AppTitleOf(const std::wstring& module_path, wchar_t separator) {
  const std::wstring name = FileNameOf(module_path, separator);
  const size_t dot = name.rfind(L'.');
  return dot == std::wstring::npos ? name : name.substr(0, dot);
}

}  // namespace kestrune
