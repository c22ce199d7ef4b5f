// Wraps a real file system and makes chosen calls fail, counting every
// existence test, rename, copy and delete, so that a test can fail each one
// in turn.
#ifndef KESTRUNE_TESTS_FAKES_FAULTY_FILE_SYSTEM_H_
#define KESTRUNE_TESTS_FAKES_FAULTY_FILE_SYSTEM_H_

#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kestrune::testing {

class FaultyFileSystem : public FileSystem {
 public:
  FaultyFileSystem(FileSystem& inner, std::set<int> failing)
      : inner_(inner), failing_(std::move(failing)) {}

  PathKind Probe(const std::wstring& path) override {
    return Fails(L"probe", path) ? PathKind::kError : inner_.Probe(path);
  }
  bool ListFolder(const std::wstring& folder, FolderListing* listing) override {
    return inner_.ListFolder(folder, listing);
  }
  FileStatus Move(const std::wstring& from, const std::wstring& to) override {
    return Fails(L"move", from) ? FileStatus(FileResult::kFailed) : inner_.Move(from, to);
  }
  // A failing copy still writes the destination, as one that breaks off
  // late (a full disk, a failed close) leaves a file behind.
  FileStatus CopyNew(const std::wstring& from, const std::wstring& to) override {
    const FileStatus result = inner_.CopyNew(from, to);
    return Fails(L"copy", to) ? FileStatus(FileResult::kFailed) : result;
  }
  FileStatus Remove(const std::wstring& path) override {
    return Fails(L"remove", path) ? FileStatus(FileResult::kFailed) : inner_.Remove(path);
  }

  int calls() const { return calls_; }
  // "operation path" of each call made to fail.
  const std::vector<std::wstring>& failed() const { return failed_; }

 private:
  bool Fails(const wchar_t* operation, const std::wstring& path) {
    if (failing_.count(++calls_) == 0) return false;
    failed_.push_back(std::wstring(operation) + L" " + path);
    return true;
  }

  FileSystem& inner_;
  const std::set<int> failing_;
  int calls_ = 0;
  std::vector<std::wstring> failed_;
};

}  // namespace kestrune::testing

#endif  // KESTRUNE_TESTS_FAKES_FAULTY_FILE_SYSTEM_H_
