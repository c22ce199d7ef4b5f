// The POSIX back-end: the platform services on Linux, with a registry export
// file in place of the registry and standard error in place of message boxes.
// Only generic POSIX and Linux code lives under platform/posix/.
#ifndef KESTRUNE_PLATFORM_POSIX_POSIX_BACKEND_H_
#define KESTRUNE_PLATFORM_POSIX_POSIX_BACKEND_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/places_posix.h"
#include "platform/posix/reg_file.h"

namespace kestrune::posix {

class PosixEnvironment : public Environment {
 public:
  explicit PosixEnvironment(std::vector<std::string> arguments = {})
      : arguments_(std::move(arguments)) {}
  void InitCommonControls() override {}
  std::wstring ModulePath() override;
  bool SetCurrentFolder(const std::wstring& path) override;
  std::vector<std::wstring> Arguments() override;
  std::wstring CommandLine() override;
  LocalTime Now() override;
  void Sleep(unsigned milliseconds) override;
  std::wstring ErrorText(uint32_t code) override;
  std::unique_ptr<LogFile> OpenLog(const std::wstring& path) override;
  std::unique_ptr<LogFile> OpenDefaultLog(uint64_t limit) override;
  uint32_t ProcessId() override;
  RunAccount Account() override;
  bool IsAccessDenied(uint32_t /*code*/) override { return false; }

 private:
  const std::vector<std::string> arguments_;  // argv, the program's name first
  // The local time of the last whole second asked for: a long log asks
  // many times a second, and the conversion takes a lock each time.
  time_t known_second_ = -1;
  tm known_{};
};

class PosixProfileReader : public ProfileReader {
 public:
  std::wstring ReadString(const std::wstring& section, const std::wstring& key,
                          const std::wstring& path, size_t capacity) override;
};

// The machine-wide registry, read from the export file named by the
// environment variable KESTRUNE_REGISTRY (default /etc/kestrune/registry.reg).
class PosixRegistry : public Registry {
 public:
  std::unique_ptr<RegistryKey> OpenKey(const std::wstring& path) override;

 private:
  const RegFile& File();
  std::unique_ptr<RegFile> file_;
};

// The version library is a shared object exporting vouinfo_ordinal_18,
// loaded and called in a child process that runs as nobody when the run is
// root.
class PosixVersionLibrary : public VersionLibrary {
 public:
  Outcome CallVersionEntry(const std::wstring& path, uint8_t* buffer, int32_t size,
                           int32_t flags, std::wstring* cause) override;
};

// Processes are the numeric entries of /proc; an image path is the target of
// /proc/<pid>/exe.
class PosixProcessList : public ProcessList {
 public:
  std::vector<DriveDevice> DriveDevices() override { return {}; }
  bool Enumerate(std::vector<uint32_t>* ids) override;
  bool ImagePath(uint32_t id, std::wstring* path) override;
  // The installation folder resolved (links, "..", doubled separators);
  // image paths come resolved from the kernel already.
  std::wstring ComparableProductPath(const std::wstring& folder,
                                     const std::wstring& name) override;
  std::wstring ComparableImagePath(const std::wstring& image_path) override {
    return image_path;
  }
  std::wstring DisplayPath(const std::wstring& path) override;
  // The processes with the file open (/proc/<pid>/fd) or mapped
  // (/proc/<pid>/maps), found by its device and inode, which name it
  // whatever path each process took to it.
  std::vector<FileHolder> Holders(const std::wstring& path) override;
};

// Copies take the umask in force when the file system object was made.
class PosixFileSystem : public FileSystem {
 public:
  PosixFileSystem() : umask_(CurrentUmask()) {}
  FileStatus Confine(const std::wstring& package, const std::wstring& installation) override;
  std::wstring ComparablePath(const std::wstring& path) override;
  PathKind Probe(const std::wstring& path) override;
  bool ListFolder(const std::wstring& folder, FolderListing* listing) override;
  FileStatus ListNames(const std::wstring& folder, std::vector<std::wstring>* names) override;
  FileStatus Move(const std::wstring& from, const std::wstring& to) override;
  FileStatus CopyNew(const std::wstring& from, const std::wstring& to,
                     Sha256Digest* digest) override;
  FileStatus Remove(const std::wstring& path) override;
  FileStatus Link(const std::wstring& existing, const std::wstring& name) override;
  FileStatus Replace(const std::wstring& from, const std::wstring& to) override;
  PathKind Identify(const std::wstring& path, FileIdentity* identity) override;
  FileStatus ClearName(const std::wstring& path) override;
  FileStatus CreateOwn(const std::wstring& path, std::unique_ptr<OwnFile>* file) override;
  FileStatus OpenOwn(const std::wstring& path, std::unique_ptr<OwnFile>* file) override;
  FileStatus WriteNew(const std::wstring& path, const std::string& bytes) override;
  FileStatus ReadWhole(const std::wstring& path, size_t limit, std::string* bytes) override;
  FileStatus HashFile(const std::wstring& path, Sha256Digest* digest) override;
  FileStatus FlushFolder(const std::wstring& folder) override;
  FileStatus FlushVolume(const std::wstring& folder) override;
  FileStatus FlushFile(const std::wstring& path) override;
  FileStatus Lock(const std::wstring& path, std::unique_ptr<FileLock>* lock) override;
  std::unique_ptr<Folder> HoldFolder(const std::wstring& prefix) override;
  FileStatus TryRenameIn(const Folder& folder, const std::wstring& name) override;
  FileStatus FreeSpace(const std::wstring& folder, uint64_t* bytes) override;
  FileStatus ReadFolderTimes(const std::wstring& folder, FolderTimes* times) override;
  FileStatus PutFolderTimes(const std::wstring& folder, const FolderTimes& times) override;
  FileStatus CopyNewIn(const Folder& from_folder, const std::wstring& from,
                       const Folder& to_folder, const std::wstring& to,
                       Sha256Digest* digest) override;
  FileStatus LinkIn(const Folder& folder, const std::wstring& existing,
                    const std::wstring& name) override;
  FileStatus ReplaceIn(const Folder& folder, const std::wstring& from,
                       const std::wstring& to) override;
  FileStatus LinkAsideIn(const Folder& folder, const std::wstring& existing,
                         const std::wstring& name, const FileIdentity& expected) override;
  FileStatus MoveAsideIn(const Folder& folder, const std::wstring& from, const std::wstring& to,
                         const FileIdentity& expected) override;
  FileStatus MoveIn(const Folder& folder, const std::wstring& from,
                    const std::wstring& to) override;
  PathKind IdentifyIn(const Folder& folder, const std::wstring& name,
                      FileIdentity* identity) override;

 private:
  // What Identify, CopyNew, Link, Replace and Move do, once their places
  // are found.
  PathKind IdentifyPlace(const Place& place, FileIdentity* identity);
  // False when a file is at `place` and it is not the one `expected` names.
  bool StillThere(const Place& place, const FileIdentity& expected);
  FileStatus CopyPlaces(const Place& source, const Place& target, Sha256Digest* digest);
  // The place of `name` in a folder this back-end holds, for writing when
  // `writing`; false when the call must go by path instead.
  bool PlaceIn(const Folder& folder, const std::wstring& name, bool writing, Place* place);
  static mode_t CurrentUmask();
  // The places of two paths, the second only when the first was found.
  FileStatus LocateBoth(const std::wstring& a, bool writing_a, Place* place_a,
                        const std::wstring& b, bool writing_b, Place* place_b);
  // True for a real path inside the package folder (or when none is set).
  bool InPackage(const std::string& real) const;
  // True when `fd`, opened at `place`, is a file inside the package folder.
  bool OpenedInPackage(int fd, const Place& place) const;
  // Opens a packaged file for reading; `in_package` tells whether what was
  // opened lies inside the package folder.
  int OpenPackaged(const Place& place, bool* in_package) const;
  // Opens the state file at `path` with `flags` (a plain file only).
  FileStatus OpenOwnAt(const std::wstring& path, int flags, std::unique_ptr<OwnFile>* file);
  int OpenFolderForFlush(const std::wstring& folder);

  // The block hashed files are read through: one for the run, since
  // setting up a block of 1 MiB for each file (zeroed, as a vector is)
  // took longer than reading a small file.
  std::vector<char>* Block();

  const mode_t umask_;
  Places places_;
  std::vector<char> block_;
  // The room of names the places of earlier calls held.
  std::vector<std::string> spare_names_;
  std::string package_real_;  // the package folder's real path, once confined
  struct stat package_id_ {};
};

// Each box is one UTF-8 record on standard error: caption, ": ", text, "\n".
// The help asked for goes to standard output as it is.
class PosixMessages : public Messages {
 public:
  void Show(const std::wstring& text, const std::wstring& caption,
            Style style) override;
  void ShowUsage(const std::wstring& text, const std::wstring& caption,
                 bool mistake) override;
};

// One line on standard error, rewritten in place, while it is a terminal;
// nothing otherwise (a pipe, a file, a log reader). SIGINT and SIGTERM ask to
// cancel once cancelling has first been allowed (before that nothing has
// changed, and a signal ends the run as ever); one that comes while it is not
// allowed, during an undo say, is ignored, and so is any until the process
// ends: a signal must not turn a finished run's status into its own.
class PosixProgress : public Progress {
 public:
  using Progress::Report;
  // `delay_ms`: how long a run works before the line shows.
  explicit PosixProgress(int fd = 2, unsigned delay_ms = 1000);
  bool Start(const Texts& texts) override;
  void Report(std::wstring_view stage, size_t done, size_t total, std::wstring_view folder,
              std::wstring_view name) override;
  void Waiting(std::wstring_view file, std::wstring_view programs) override;
  void AllowCancel(bool allowed) override;
  bool CancelRequested() override;
  void Close() override;

 private:
  static uint64_t NowMs();
  // Draws the line when it is due, or at once with `now`.
  void Draw(bool now);
  const int fd_;
  const bool terminal_;
  const uint64_t shows_at_ms_;
  uint64_t written_at_ms_ = 0;
  bool started_ = false;
  bool shown_ = false;
  Texts texts_;
  std::wstring stage_;
  std::wstring file_;
  std::wstring waiting_;  // what the run waits for, worded; "" when it does not
  size_t done_ = 0;
  size_t total_ = 0;
  uint64_t stage_started_ms_ = 0;
  bool allowed_ = false;
  bool handling_ = false;  // the signals' actions are this back-end's
};

// All services of the running process.
class PosixBackend {
 public:
  explicit PosixBackend(std::vector<std::string> arguments = {})
      : environment_(std::move(arguments)) {}
  Platform platform() {
    return Platform{L'/',      environment_, profile_, registry_, library_,
                    processes_, files_,      messages_, progress_};
  }

 private:
  PosixEnvironment environment_;
  PosixProfileReader profile_;
  PosixRegistry registry_;
  PosixVersionLibrary library_;
  PosixProcessList processes_;
  PosixFileSystem files_;
  PosixMessages messages_;
  PosixProgress progress_;
};

}  // namespace kestrune::posix

#endif  // KESTRUNE_PLATFORM_POSIX_POSIX_BACKEND_H_
