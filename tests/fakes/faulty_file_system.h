// Wraps a real file system and makes chosen calls fail, counting every
// existence test, rename, copy and delete, so that a test can fail each one
// in turn.
#ifndef KESTRUNE_TESTS_FAKES_FAULTY_FILE_SYSTEM_H_
#define KESTRUNE_TESTS_FAKES_FAULTY_FILE_SYSTEM_H_

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kestrune::testing {

class FaultyFileSystem : public FileSystem {
 public:
  // Calls numbered in `failing` fail; from call `stop_at` on (when not 0)
  // nothing reaches the disk any more, as when the process stops there.
  FaultyFileSystem(FileSystem& inner, std::set<int> failing, int stop_at = 0)
      : inner_(inner), failing_(std::move(failing)), stop_at_(stop_at) {}

  FileStatus Confine(const std::wstring& package, const std::wstring& installation) override {
    return inner_.Confine(package, installation);
  }
  std::wstring ComparablePath(const std::wstring& path) override {
    return inner_.ComparablePath(path);
  }
  PathKind Probe(const std::wstring& path) override {
    return Fails(L"probe", path) ? PathKind::kError : inner_.Probe(path);
  }
  bool ListFolder(const std::wstring& folder, FolderListing* listing) override {
    return inner_.ListFolder(folder, listing);
  }
  FileStatus ListNames(const std::wstring& folder, std::vector<std::wstring>* names) override {
    return Fails(L"list", folder) ? kFailed : inner_.ListNames(folder, names);
  }
  FileStatus Move(const std::wstring& from, const std::wstring& to) override {
    return Fails(L"move", from) ? kFailed : inner_.Move(from, to);
  }
  // A failing copy still writes the destination, as one that breaks off
  // late (a full disk, a failed close) leaves a file behind.
  FileStatus CopyNew(const std::wstring& from, const std::wstring& to,
                     Sha256Digest* digest) override {
    if (Stopped(L"copy", to)) return kFailed;
    const FileStatus result = inner_.CopyNew(from, to, digest);
    const bool named = !fail_copies_to_.empty() && to.find(fail_copies_to_) != std::wstring::npos;
    const bool fails = Fails(L"copy", to);
    return fails || named ? kFailed : result;
  }
  FileStatus Remove(const std::wstring& path) override {
    return Fails(L"remove", path) ? kFailed : inner_.Remove(path);
  }
  FileStatus Link(const std::wstring& existing, const std::wstring& name) override {
    return Fails(L"link", existing) ? kFailed : inner_.Link(existing, name);
  }
  FileStatus Replace(const std::wstring& from, const std::wstring& to) override {
    return Fails(L"replace", to) ? kFailed : inner_.Replace(from, to);
  }
  PathKind Identify(const std::wstring& path, FileIdentity* identity) override {
    return Fails(L"identify", path) ? PathKind::kError : inner_.Identify(path, identity);
  }
  // Folders are held by the file system inside, so that calls by name run
  // its own code, each counted and made to fail as the call by path is.
  std::unique_ptr<Folder> HoldFolder(const std::wstring& prefix) override {
    return inner_.HoldFolder(prefix);
  }
  FileStatus CopyNewIn(const Folder& from_folder, const std::wstring& from,
                       const Folder& to_folder, const std::wstring& to,
                       Sha256Digest* digest) override {
    const std::wstring target = to_folder.PathOf(to);
    if (Stopped(L"copy", target)) return kFailed;
    const FileStatus result = inner_.CopyNewIn(from_folder, from, to_folder, to, digest);
    const bool named =
        !fail_copies_to_.empty() && target.find(fail_copies_to_) != std::wstring::npos;
    const bool fails = Fails(L"copy", target);
    return fails || named ? kFailed : result;
  }
  FileStatus LinkIn(const Folder& folder, const std::wstring& existing,
                    const std::wstring& name) override {
    return Fails(L"link", folder.PathOf(existing)) ? kFailed : inner_.LinkIn(folder, existing, name);
  }
  FileStatus ReplaceIn(const Folder& folder, const std::wstring& from,
                       const std::wstring& to) override {
    return Fails(L"replace", folder.PathOf(to)) ? kFailed : inner_.ReplaceIn(folder, from, to);
  }
  FileStatus MoveIn(const Folder& folder, const std::wstring& from,
                    const std::wstring& to) override {
    return Fails(L"move", folder.PathOf(from)) ? kFailed : inner_.MoveIn(folder, from, to);
  }
  FileStatus LinkAsideIn(const Folder& folder, const std::wstring& existing,
                         const std::wstring& name, const FileIdentity& expected) override {
    return Fails(L"link", folder.PathOf(existing))
               ? kFailed
               : inner_.LinkAsideIn(folder, existing, name, expected);
  }
  FileStatus MoveAsideIn(const Folder& folder, const std::wstring& from, const std::wstring& to,
                         const FileIdentity& expected) override {
    return Fails(L"move", folder.PathOf(from)) ? kFailed
                                               : inner_.MoveAsideIn(folder, from, to, expected);
  }
  PathKind IdentifyIn(const Folder& folder, const std::wstring& name,
                      FileIdentity* identity) override {
    return Fails(L"identify", folder.PathOf(name)) ? PathKind::kError
                                                   : inner_.IdentifyIn(folder, name, identity);
  }
  FileStatus ClearName(const std::wstring& path) override {
    return Fails(L"clear", path) ? kFailed : inner_.ClearName(path);
  }
  // The state file's own calls are counted and made to fail as well
  // ("append", "read", "owner", "named", "rename", "remove").
  FileStatus CreateOwn(const std::wstring& path, std::unique_ptr<OwnFile>* file) override {
    if (Fails(L"create", path)) return kFailed;
    return Wrap(inner_.CreateOwn(path, file), file);
  }
  FileStatus OpenOwn(const std::wstring& path, std::unique_ptr<OwnFile>* file) override {
    if (Fails(L"open", path)) return kFailed;
    return Wrap(inner_.OpenOwn(path, file), file);
  }
  FileStatus WriteNew(const std::wstring& path, const std::string& bytes) override {
    return Fails(L"write", path) ? kFailed : inner_.WriteNew(path, bytes);
  }
  FileStatus ReadWhole(const std::wstring& path, size_t limit, std::string* bytes) override {
    return Fails(L"read", path) ? kFailed : inner_.ReadWhole(path, limit, bytes);
  }
  FileStatus HashFile(const std::wstring& path, Sha256Digest* digest) override {
    return inner_.HashFile(path, digest);
  }
  FileStatus FlushFolder(const std::wstring& folder) override {
    return Fails(L"flush", folder) ? kFailed : inner_.FlushFolder(folder);
  }
  FileStatus FlushVolume(const std::wstring& folder) override {
    return Fails(L"flush", folder) ? kFailed : inner_.FlushVolume(folder);
  }
  FileStatus FlushFile(const std::wstring& path) override {
    return Fails(L"flush", path) ? kFailed : inner_.FlushFile(path);
  }
  bool CopiesDurable() override { return inner_.CopiesDurable(); }
  FileStatus Lock(const std::wstring& path, std::unique_ptr<FileLock>* lock) override {
    return Fails(L"lock", path) ? kFailed : inner_.Lock(path, lock);
  }

  // Copies whose destination contains `needle` fail too, whatever their number.
  void FailCopiesTo(const std::wstring& needle) { fail_copies_to_ = needle; }
  // Every call of `operation` ("replace", ...) fails, whatever its number.
  void FailEvery(const std::wstring& operation) { fail_every_ = operation; }

  int calls() const { return calls_; }
  // The number of the last call of `operation` ("copy", ...), 0 if none.
  int last_call_of(const std::wstring& operation) const {
    auto it = last_.find(operation);
    return it == last_.end() ? 0 : it->second;
  }
  bool stopped() const { return stop_at_ != 0 && calls_ >= stop_at_; }
  // "operation path" of each call made to fail.
  const std::vector<std::wstring>& failed() const { return failed_; }

 private:
  static inline const FileStatus kFailed{FileResult::kFailed, 5};

  class Own : public OwnFile {
   public:
    Own(FaultyFileSystem& outer, std::unique_ptr<OwnFile> inner)
        : outer_(outer), inner_(std::move(inner)) {}
    const std::wstring& path() const override { return inner_->path(); }
    FileStatus AppendDurably(const std::string& bytes) override {
      return Fails(L"append") ? kFailed : inner_->AppendDurably(bytes);
    }
    FileStatus ReadWhole(size_t limit, std::string* bytes) override {
      return Fails(L"read") ? kFailed : inner_->ReadWhole(limit, bytes);
    }
    FileStatus OwnershipOf(Ownership* ownership) override {
      return Fails(L"owner") ? kFailed : inner_->OwnershipOf(ownership);
    }
    FileStatus StillNamed() override { return Fails(L"named") ? kFailed : inner_->StillNamed(); }
    FileStatus Rename(const std::wstring& name) override {
      return Fails(L"rename") ? kFailed : inner_->Rename(name);
    }
    FileStatus Remove() override { return Fails(L"remove") ? kFailed : inner_->Remove(); }

   private:
    bool Fails(const wchar_t* operation) { return outer_.Fails(operation, inner_->path()); }
    FaultyFileSystem& outer_;
    const std::unique_ptr<OwnFile> inner_;
  };
  FileStatus Wrap(const FileStatus& status, std::unique_ptr<OwnFile>* file) {
    if (status.ok()) *file = std::make_unique<Own>(*this, std::move(*file));
    return status;
  }

  bool Stopped(const wchar_t* /*operation*/, const std::wstring& /*path*/) {
    return stop_at_ != 0 && calls_ + 1 >= stop_at_ && (++calls_, true);
  }
  bool Fails(const wchar_t* operation, const std::wstring& path) {
    if (Stopped(operation, path)) return true;
    last_[operation] = ++calls_;
    if (failing_.count(calls_) == 0 && fail_every_ != operation) return false;
    failed_.push_back(std::wstring(operation) + L" " + path);
    return true;
  }

  FileSystem& inner_;
  const std::set<int> failing_;
  const int stop_at_;
  std::wstring fail_copies_to_;
  std::wstring fail_every_;
  int calls_ = 0;
  std::vector<std::wstring> failed_;
  std::map<std::wstring, int> last_;
};

}  // namespace kestrune::testing

#endif  // KESTRUNE_TESTS_FAKES_FAULTY_FILE_SYSTEM_H_
