// The Win32 back-end: the platform services through the wide-character
// Windows API.
#ifndef KESTRUNE_PLATFORM_WIN32_WIN32_BACKEND_H_
#define KESTRUNE_PLATFORM_WIN32_WIN32_BACKEND_H_

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/windows_h.h"

namespace kestrune::win32 {

// Stops the loader from looking in the program's own folder (a user-writable
// update package) for system libraries. Must run before anything loads a
// library. True when the system could restrict the default search to the
// system folder.
bool HardenLibrarySearch();

// The common controls, registered here only if the run asked for them
// (Environment::InitCommonControls); called before any window shows, and
// only on the run's own thread.
void RegisterCommonControls();

class Win32Environment : public Environment {
 public:
  void InitCommonControls() override;
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
  bool IsAccessDenied(uint32_t code) override { return code == ERROR_ACCESS_DENIED; }
};

class Win32ProfileReader : public ProfileReader {
 public:
  std::wstring ReadString(const std::wstring& section, const std::wstring& key,
                          const std::wstring& path, size_t capacity) override;
};

class Win32Registry : public Registry {
 public:
  std::unique_ptr<RegistryKey> OpenKey(const std::wstring& path) override;
};

// Calls the version library in a child process of this program, started
// with a restricted token in a job (version_child_win32.h).
class Win32VersionLibrary : public VersionLibrary {
 public:
  Outcome CallVersionEntry(const std::wstring& path, uint8_t* buffer, int32_t size,
                           int32_t flags, std::wstring* cause) override;
};

class Win32ProcessList : public ProcessList {
 public:
  std::vector<DriveDevice> DriveDevices() override;
  bool Enumerate(std::vector<uint32_t>* ids) override;
  bool ImagePath(uint32_t id, std::wstring* path) override;
  std::wstring ComparableProductPath(const std::wstring& folder,
                                     const std::wstring& name) override;
  std::wstring ComparableImagePath(const std::wstring& image_path) override;
  std::wstring DisplayPath(const std::wstring& path) override;
  // Through the Restart Manager where there is one; otherwise, or where it
  // names nobody, the processes that have the file loaded as a module.
  std::vector<FileHolder> Holders(const std::wstring& path) override;

 private:
  std::vector<wchar_t> buffer_;
};

class Win32FileSystem : public FileSystem {
 public:
  FileStatus Confine(const std::wstring& package, const std::wstring& installation) override;
  std::wstring ComparablePath(const std::wstring& path) override;
  PathKind Probe(const std::wstring& path) override;
  bool ListFolder(const std::wstring& folder, FolderListing* listing) override;
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
  FileStatus ReplaceIn(const Folder& folder, const std::wstring& from,
                       const std::wstring& to) override;
  FileStatus MoveIn(const Folder& folder, const std::wstring& from,
                    const std::wstring& to) override;
  FileStatus MoveAsideIn(const Folder& folder, const std::wstring& from, const std::wstring& to,
                         const FileIdentity& expected) override;
  PathKind IdentifyIn(const Folder& folder, const std::wstring& name,
                      FileIdentity* identity) override;
  // Each copy is flushed on the handle that wrote it, unless the volume's
  // flush was expected to serve; NTFS logs renames in order, so a later
  // flushed write carries them to the disk with it.
  bool CopiesDurable() override { return !copies_left_to_volume_; }

 private:
  // Where a path leads: below the installation, the folder it is in, open
  // and checked to be no link, and its last part; elsewhere (and for the
  // installation folder itself), the path alone.
  struct Place {
    std::wstring system;    // the path in the system's form
    std::wstring expected;  // below the installation: the real path it must have
    bool below_root = false;
    HANDLE folder = nullptr;  // null: reached by its path
    std::wstring name;        // the last part, in `folder`
  };
  // Refused for `writing` outside the installation, once confined.
  FileStatus Locate(const std::wstring& path, bool writing, Place* place);
  // The folder below the installation at `relative` ("\a\b"; "" for the
  // installation itself), opened part by part from the installation's own
  // handle and held until the next Confine.
  FileStatus FolderAt(const std::wstring& relative, HANDLE* folder);
  // Opens what is at `place` as CreateFileW would, without any check; a
  // file it makes gets `security` where given.
  DWORD OpenRaw(const Place& place, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                ScopedHandle* file, SECURITY_DESCRIPTOR* security = nullptr);
  // The same, refusing (and removing, when this call made it) a file that
  // is not the very one named below the installation.
  FileStatus OpenAt(const Place& place, DWORD access, DWORD share, DWORD disposition,
                    DWORD flags, ScopedHandle* file, SECURITY_DESCRIPTOR* security = nullptr);
  // The state file at `place`, opened or made as `disposition` says.
  FileStatus OpenOwnAt(const std::wstring& path, DWORD access, DWORD disposition,
                       std::unique_ptr<OwnFile>* file);
  FileStatus Open(const std::wstring& path, bool writing, DWORD access, DWORD share,
                  DWORD disposition, DWORD flags, ScopedHandle* file);
  // Renames `from` to `to`, over it with `replace`.
  FileStatus Rename(const std::wstring& from, const std::wstring& to, bool replace);
  // With `expected`, refuses (kChanged) a file that is not that one.
  FileStatus RenamePlaces(const Place& from, const Place& to, bool replace,
                          const FileIdentity* expected = nullptr);
  // `name` in a folder held by HoldFolder; false for any other folder or a
  // name that is not a single part, and for `writing` outside the
  // installation: the call then goes by path.
  bool PlaceIn(const Folder& folder, const std::wstring& name, bool writing, Place* place);
  // Copies from the packaged file open on `in` to a new file at `to`; with
  // `installed`, from a backup in the installation, checked by the caller.
  FileStatus CopyOpen(HANDLE in, const std::wstring& to, const Place* to_place,
                      Sha256Digest* digest, bool installed = false);

  // Puts an empty file of this run's own at `place` in place of whatever
  // stands there (a link that cannot be removed otherwise), by a rename.
  FileStatus OwnFileAt(const Place& place);
  // False for an open packaged file that is not inside the package: a
  // folder on its way swapped for a link since the package was walked.
  bool InPackage(HANDLE file) const;
  // The folder at `folder` opened for its times with `access`.
  FileStatus OpenFolderTimes(const std::wstring& folder, DWORD access, ScopedHandle* handle);
  std::vector<char>& Block();
  void DropKeptCopy() { kept_copy_.reset(nullptr); }
  // The installation's volume opened for its flush (by an administrator, on
  // Windows), asked once; null where it cannot be, or under Wine, whose
  // volumes refuse to be flushed.
  HANDLE Volume();

  bool refuse_writes_ = false;  // outside the installation, once confined
  std::wstring root_given_;    // the installation folder as the run names it
  std::wstring root_real_;     // its real folder
  uint32_t root_volume_ = 0;   // its volume's serial number
  std::wstring package_real_;  // the package folder's real path, case folded
  // One block for every copy and hash of the run: a new one a file would be
  // a megabyte zeroed for nothing each time.
  std::vector<char> block_;
  // Folders below the installation, by their relative path case folded:
  // held without FILE_SHARE_DELETE, so that none can be renamed or replaced
  // while the run works below it. "" is the installation folder.
  std::map<std::wstring, std::shared_ptr<ScopedHandle>> folders_;
  // The copy CopyNewIn made last, still open on the handle that wrote it,
  // so that the rename that puts it in place needs no second open. Closed
  // by any call by path, which the undo of a failed step begins with.
  ScopedHandle kept_copy_{nullptr};
  HANDLE kept_folder_ = nullptr;
  std::wstring kept_name_;
  bool volume_asked_ = false;
  ScopedHandle volume_{nullptr};
  // Some copy was not flushed on its own handle, the volume's flush being
  // expected to make it durable.
  bool copies_left_to_volume_ = false;
};

class Win32Messages : public Messages {
 public:
  void Show(const std::wstring& text, const std::wstring& caption,
            Style style) override;
  void ShowUsage(const std::wstring& text, const std::wstring& caption,
                 bool mistake) override;
};

// A small window of its own thread, so that it stays responsive (repaints
// when uncovered, asks its question) through any single long call of the run.
class Win32Progress : public Progress {
 public:
  using Progress::Report;
  Win32Progress();
  ~Win32Progress() override;
  Win32Progress(const Win32Progress&) = delete;
  Win32Progress& operator=(const Win32Progress&) = delete;
  bool Start(const Texts& texts) override;
  void Report(std::wstring_view stage, size_t done, size_t total, std::wstring_view folder,
              std::wstring_view name) override;
  void Waiting(std::wstring_view file, std::wstring_view programs) override;
  void AllowCancel(bool allowed) override;
  bool CancelRequested() override;
  void Close() override;

 private:
  static DWORD WINAPI ThreadMain(void* self);
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM w, LPARAM l);
  // On the window's thread, every tenth of a second.
  void Tick();
  void Create();
  // On the window's thread: Cancel, the close box, Esc or Alt+F4.
  void AskToCancel();
  // Answers No to a question still open, once the run can no longer be
  // cancelled or the window goes.
  void DismissQuestion();
  // On the window's thread: the Cancel button and the close box on or off.
  void EnableCancel(bool on);

  CRITICAL_SECTION lock_;
  const DWORD started_ticks_;  // about when the process started
  // Set while no question is open, so that a look for a cancel waits for
  // the answer.
  HANDLE answered_ = nullptr;
  // Shared with the window's thread, under lock_.
  Texts texts_;
  std::wstring stage_;
  std::wstring file_;
  std::wstring waiting_;  // what the run waits for, worded; "" when it does not
  size_t done_ = 0;
  size_t total_ = 0;
  DWORD stage_ticks_ = 0;  // when the stage began, for the time left
  bool active_ = false;    // reported since the last Close
  bool changed_ = false;   // since the window last showed it
  bool allowed_ = false;   // cancelling is
  bool asking_ = false;    // the question is open
  bool cancelled_ = false;  // a person said Yes
  HWND window_ = nullptr;
  // The window's thread only.
  HWND stage_label_ = nullptr;
  HWND file_label_ = nullptr;
  HWND count_label_ = nullptr;
  HWND left_label_ = nullptr;
  HWND bar_ = nullptr;
  HWND cancel_ = nullptr;
  HFONT font_ = nullptr;
  DWORD left_ticks_ = 0;  // when the time left was last worded
  std::wstring left_;
  // The caller's thread only.
  bool started_ = false;
  HANDLE thread_ = nullptr;
  DWORD thread_id_ = 0;
};

class Win32Backend {
 public:
  Platform platform() {
    return Platform{L'\\',     environment_, profile_, registry_, library_,
                    processes_, files_,      messages_, progress_};
  }

 private:
  Win32Environment environment_;
  Win32ProfileReader profile_;
  Win32Registry registry_;
  Win32VersionLibrary library_;
  Win32ProcessList processes_;
  Win32FileSystem files_;
  Win32Messages messages_;
  Win32Progress progress_;
};

}  // namespace kestrune::win32

#endif  // KESTRUNE_PLATFORM_WIN32_WIN32_BACKEND_H_
