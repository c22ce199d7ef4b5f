// File calls that wait, briefly, for a file another process holds.
#ifndef KESTRUNE_REPLACE_PATIENT_FILE_SYSTEM_H_
#define KESTRUNE_REPLACE_PATIENT_FILE_SYSTEM_H_

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "run/log.h"

namespace kestrune {

// Who is told of a wait, and how long it may last.
struct Patience {
  ProcessList* processes = nullptr;  // names the programs that hold a file
  // Shows each wait, and a cancel (where allowed) ends it.
  Progress* progress = nullptr;
  // A person sees the progress: a file in use is waited for up to 30 s, with
  // the program to close named, since that person can close it.
  bool watched = false;
};

// A virus scanner or an indexer holds a file for a moment after it was
// written; failing the whole update at once for that would undo it for
// nothing. A call refused because the file is in use is tried again after
// 0.1, 0.2, 0.4 and 0.8 s, and when watched every second after that up to
// 30 s, each wait logged with the programs that hold the file; any other
// outcome is final, but for "access denied" while WaitForAccessDenied is on.
class PatientFileSystem : public FileSystem {
 public:
  PatientFileSystem(FileSystem& inner, Environment& environment, RunLog& log,
                    const Patience& patience = Patience())
      : inner_(inner), environment_(environment), log_(log), patience_(patience) {}

  FileStatus Confine(const std::wstring& package, const std::wstring& installation) override {
    return inner_.Confine(package, installation);
  }
  std::wstring ComparablePath(const std::wstring& path) override {
    return inner_.ComparablePath(path);
  }
  PathKind Probe(const std::wstring& path) override { return inner_.Probe(path); }
  bool ListFolder(const std::wstring& folder, FolderListing* listing) override {
    return inner_.ListFolder(folder, listing);
  }
  FileStatus ListNames(const std::wstring& folder, std::vector<std::wstring>* names) override {
    return inner_.ListNames(folder, names);
  }
  FileStatus Move(const std::wstring& from, const std::wstring& to) override;
  FileStatus CopyNew(const std::wstring& from, const std::wstring& to,
                     Sha256Digest* digest) override;
  FileStatus Remove(const std::wstring& path) override;
  FileStatus Link(const std::wstring& existing, const std::wstring& name) override;
  FileStatus Replace(const std::wstring& from, const std::wstring& to) override;
  PathKind Identify(const std::wstring& path, FileIdentity* identity) override {
    return inner_.Identify(path, identity);
  }
  FileStatus ClearName(const std::wstring& path) override { return inner_.ClearName(path); }
  std::unique_ptr<Folder> HoldFolder(const std::wstring& prefix) override {
    return inner_.HoldFolder(prefix);
  }
  FileStatus CopyNewIn(const Folder& from_folder, const std::wstring& from,
                       const Folder& to_folder, const std::wstring& to,
                       Sha256Digest* digest) override;
  FileStatus LinkIn(const Folder& folder, const std::wstring& existing,
                    const std::wstring& name) override;
  FileStatus ReplaceIn(const Folder& folder, const std::wstring& from,
                       const std::wstring& to) override;
  FileStatus MoveIn(const Folder& folder, const std::wstring& from,
                    const std::wstring& to) override;
  FileStatus LinkAsideIn(const Folder& folder, const std::wstring& existing,
                         const std::wstring& name, const FileIdentity& expected) override;
  FileStatus MoveAsideIn(const Folder& folder, const std::wstring& from, const std::wstring& to,
                         const FileIdentity& expected) override;
  PathKind IdentifyIn(const Folder& folder, const std::wstring& name,
                      FileIdentity* identity) override {
    return inner_.IdentifyIn(folder, name, identity);
  }
  // Asked once, for the check: a file held for a moment is named as in use.
  FileStatus TryRenameIn(const Folder& folder, const std::wstring& name) override {
    return inner_.TryRenameIn(folder, name);
  }
  FileStatus FreeSpace(const std::wstring& folder, uint64_t* bytes) override {
    return inner_.FreeSpace(folder, bytes);
  }
  // Once open, the journal is reached through the run's own handle, which
  // no other process's hold on the file stops; a new one is made only where
  // nothing stands.
  FileStatus CreateOwn(const std::wstring& path, std::unique_ptr<OwnFile>* file) override {
    return inner_.CreateOwn(path, file);
  }
  FileStatus OpenOwn(const std::wstring& path, std::unique_ptr<OwnFile>* file) override;
  FileStatus WriteNew(const std::wstring& path, const std::string& bytes) override {
    return inner_.WriteNew(path, bytes);
  }
  FileStatus ReadWhole(const std::wstring& path, size_t limit, std::string* bytes) override {
    return inner_.ReadWhole(path, limit, bytes);
  }
  FileStatus HashFile(const std::wstring& path, Sha256Digest* digest) override;
  FileStatus FlushFolder(const std::wstring& folder) override {
    return inner_.FlushFolder(folder);
  }
  FileStatus FlushVolume(const std::wstring& folder) override {
    return inner_.FlushVolume(folder);
  }
  FileStatus FlushFile(const std::wstring& path) override;
  bool CopiesDurable() override { return inner_.CopiesDurable(); }

  // An update fails at once on "access denied", since there it more often
  // means a file it may not write; an undo or a recovery waits.
  void WaitForAccessDenied(bool on) override { wait_for_denied_ = on; }
  FileStatus Lock(const std::wstring& path, std::unique_ptr<FileLock>* lock) override {
    return inner_.Lock(path, lock);
  }

 private:
  // `what` gives the one or two paths the call acts on, the file waited
  // for among them; asked for only when the call has to wait.
  template <typename What, typename Call>
  FileStatus Patiently(What what, Call call);
  // Sleeps `ms`, a tenth of a second at a time while a cancel may end it;
  // false when it did.
  bool Sleep(unsigned ms);

  FileSystem& inner_;
  Environment& environment_;
  RunLog& log_;
  const Patience patience_;
  bool wait_for_denied_ = false;
};

}  // namespace kestrune

#endif  // KESTRUNE_REPLACE_PATIENT_FILE_SYSTEM_H_
