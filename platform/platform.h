// The only door from the updater's core to the operating system. The core
// holds the run and every decision; a back-end (win32/ or posix/) answers these
// small questions with the system's own calls, and tests answer them with fakes.
// Expected outcomes (absent, refused, exists) are values, never exceptions.
#ifndef KESTRUNE_PLATFORM_PLATFORM_H_
#define KESTRUNE_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/sha256.h"
#include "platform/trust.h"

namespace kestrune {

// A local time with its offset from UTC, for the log.
struct LocalTime {
  int year = 0, month = 0, day = 0;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
  int utc_offset_minutes = 0;
};

// A file the log is appended to; closed when destroyed.
class LogFile {
 public:
  virtual ~LogFile() = default;
  // Keeps the other runs that share the file from appending until the next
  // Append, so that a line whose time stamp is taken in between lands after
  // every line stamped before it. A file that cannot be held (or that some
  // other program holds for long) is written unheld from then on.
  virtual void Hold() = 0;
  // Appends the bytes at the end of the file with one write, even when
  // another run appends to it too, and lets the hold go. False when the
  // write fails.
  virtual bool Append(const std::string& utf8) = 0;
};

// Whether the run has an administrator's rights.
enum class Elevation { kElevated, kNotElevated, kUnknown };

// Who runs the updater where, for logs that are gathered from many machines.
struct RunAccount {
  std::wstring computer;
  std::wstring account;  // on Windows with its domain: "NT AUTHORITY\SYSTEM"
  Elevation elevation = Elevation::kUnknown;
};

// Services of the running process.
class Environment {
 public:
  virtual ~Environment() = default;
  // Common controls, where the platform has them; no effect on the update.
  virtual void InitCommonControls() = 0;
  // Full path of the running executable; "" when it cannot be read whole.
  virtual std::wstring ModulePath() = 0;
  virtual bool SetCurrentFolder(const std::wstring& path) = 0;
  // The arguments after the program's own name, split by the platform's
  // rules (on Windows those of CommandLineToArgvW).
  virtual std::vector<std::wstring> Arguments() = 0;
  // The command line as the program was given it, for the log.
  virtual std::wstring CommandLine() = 0;
  virtual LocalTime Now() = 0;
  virtual void Sleep(unsigned milliseconds) = 0;
  // The system's own text for one of its error codes.
  virtual std::wstring ErrorText(uint32_t code) = 0;
  // Opens `path` for appending, creating it and its missing folders; a
  // relative path is taken against the current folder. Null when it cannot
  // be opened.
  virtual std::unique_ptr<LogFile> OpenLog(const std::wstring& path) = 0;
  // The machine's own log, which a run given no log appends to, kept under
  // `limit` bytes by first moving a longer one to its old name. Opened as
  // the journal is: never through a link, and only in a folder and a file
  // that the run's account, the administrators or the system own and that
  // nobody else may change. Null where there is none or it may not be
  // used: the run then goes on without a log.
  virtual std::unique_ptr<LogFile> OpenDefaultLog(uint64_t limit) {
    (void)limit;
    return nullptr;
  }
  // This process's id, which tells apart the runs that share one log.
  virtual uint32_t ProcessId() = 0;
  // The computer, the account and its elevation; "" for what cannot be told.
  virtual RunAccount Account() = 0;
  // True for the system's "access denied", which Windows also answers for a
  // file that another process is closing or deleting. POSIX has no such
  // passing state: false there.
  virtual bool IsAccessDenied(uint32_t code) = 0;
};

// Private-profile (INI) reading with the Windows rules.
class ProfileReader {
 public:
  virtual ~ProfileReader() = default;
  // The value of `key` in `section` of the file at `path`, cut to
  // `capacity` - 1 code units; "" when the file, section or key is missing.
  virtual std::wstring ReadString(const std::wstring& section,
                                  const std::wstring& key,
                                  const std::wstring& path,
                                  size_t capacity) = 0;
};

// One opened machine-wide registry key; closed when destroyed.
class RegistryKey {
 public:
  virtual ~RegistryKey() = default;
  // The raw bytes of the named value. False when it is absent or needs more
  // than `capacity` bytes.
  virtual bool ReadValue(const std::wstring& name, size_t capacity,
                         std::vector<uint8_t>* bytes) = 0;
};

// Read-only access to HKEY_LOCAL_MACHINE.
class Registry {
 public:
  virtual ~Registry() = default;
  // Opens the key at `path` below the machine root for reading; null when it
  // does not open.
  virtual std::unique_ptr<RegistryKey> OpenKey(const std::wstring& path) = 0;
};

// The product's version-information library.
class VersionLibrary {
 public:
  enum class Outcome {
    kCalled,     // the entry point ran with (buffer, 39, 0) and was released
    kNotLoaded,  // the file could not be loaded as a library
    kNoEntry,    // loaded, but has no version entry point; released
    kFailed,     // the load or the call crashed or did not return, or
                 // the process that was to make them could not be started
  };
  virtual ~VersionLibrary() = default;
  // Loads the library at `path`, calls its version entry point once with
  // `buffer`, `size` and `flags`, and releases it. `buffer` has room for
  // more than `size` bytes, as a library may write its terminator after them.
  // Unless the outcome is kCalled, `cause` says why, for the log.
  virtual Outcome CallVersionEntry(const std::wstring& path, uint8_t* buffer,
                                   int32_t size, int32_t flags, std::wstring* cause) = 0;
};

// A device path prefix and the drive name that stands for it (L"C:").
struct DriveDevice {
  std::wstring device;
  std::wstring drive;
};

// A process that holds a file: its id and the name a person knows it by.
struct FileHolder {
  uint32_t id = 0;
  std::wstring name;
};

// The running processes.
class ProcessList {
 public:
  virtual ~ProcessList() = default;
  // The device names of the drive letters, for platforms whose image paths
  // are in device form; empty where image paths are already usable as they are.
  virtual std::vector<DriveDevice> DriveDevices() = 0;
  // Ids of all processes; false when they cannot be enumerated.
  virtual bool Enumerate(std::vector<uint32_t>* ids) = 0;
  // The image path of one process, which is opened only for this call. False
  // when it cannot be opened or read.
  virtual bool ImagePath(uint32_t id, std::wstring* path) = 0;
  // The product's path (its folder and file name) in the one form in which
  // it is compared with image paths: the real folder, and on Windows a full
  // path with long names and letter case folded as the file system folds it.
  virtual std::wstring ComparableProductPath(const std::wstring& folder,
                                             const std::wstring& name) = 0;
  // An image path, in drive-letter form, in that same form.
  virtual std::wstring ComparableImagePath(const std::wstring& image_path) = 0;
  // A path as the log shows it: whole, one separator between parts, and
  // where it exists the real one, in the letter case on disk.
  virtual std::wstring DisplayPath(const std::wstring& path) = 0;
  // The processes (this one left out) that hold the file at `path` open or
  // loaded, so that a person can be told which program to close; empty when
  // none can be named.
  virtual std::vector<FileHolder> Holders(const std::wstring& path) = 0;
};

// What a file system call did.
enum class FileResult {
  kOk,
  kTargetExists,  // refused because the destination already exists
  kMissing,       // nothing to act on at the source path
  kInUse,         // another process holds the file; may pass if tried again
  kUnsupported,   // the file system cannot do this; another way may serve
  kFailed,        // any other failure
  kChanged,       // not the file expected: it changed since it was looked at
  // A packaged file that the listing showed as a plain file, and its open
  // showed to be a link leading out of the package: nothing was read.
  kLeadsOut,
};

// A FileResult with the system's own error code (GetLastError or errno; 0
// when the call succeeded or failed without one), so that a failure can be
// reported with its cause. It converts to and from FileResult, so callers
// that only branch on the outcome need not know the code is there.
struct FileStatus {
  FileResult result = FileResult::kOk;
  uint32_t code = 0;

  FileStatus() = default;
  FileStatus(FileResult result, uint32_t code = 0) : result(result), code(code) {}  // NOLINT
  operator FileResult() const { return result; }  // NOLINT
  bool ok() const { return result == FileResult::kOk; }
};

// What is at a path, telling "nothing there" apart from "cannot tell".
// kLink: below the installation folder, the path is or passes through a
// link (a junction, symbolic link or mount point), where none may be.
// kOther: a pipe, a device or a socket, which no step may take for a file.
enum class PathKind { kMissing, kFile, kFolder, kLink, kOther, kError };

// Identity of a real folder (volume and file index, or device and inode), so
// that a walk can tell a link that loops back into a folder being walked.
struct FolderId {
  uint64_t volume = 0;
  uint64_t index = 0;
  bool operator==(const FolderId& other) const {
    return volume == other.volume && index == other.index;
  }
};

// What tells one file apart from every other for as long as it exists: a
// later look at a name shows whether it still holds this very file, so that
// an elevated run acts only on files it can prove are its own.
struct FileIdentity {
  uint64_t volume = 0;    // device, or volume serial number
  uint64_t index = 0;     // inode, or file index
  uint64_t size = 0;
  int64_t modified = 0;   // in the platform's own units
  bool operator==(const FileIdentity& other) const {
    return volume == other.volume && index == other.index && size == other.size &&
           modified == other.modified;
  }
  bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};

struct FolderEntry {
  std::wstring name;
  bool is_folder = false;
  // A link that leads out of the package folder: never listed or walked,
  // since an elevated run must read nothing from outside its package. Where
  // a link to a file cannot be told from the listing, the open that reads
  // the file tells it instead (kLeadsOut).
  bool leads_outside = false;
  // Neither a file nor a folder (a pipe, a socket, a device, or a link that
  // leads nowhere): nothing to copy, and never opened, as that could block.
  bool special = false;
};

struct FolderListing {
  bool has_id = false;  // false when the platform cannot tell the identity
  FolderId id;
  std::vector<FolderEntry> entries;  // files and folders in platform order
};

// A folder held for calls on the names in it, so that a back-end that can
// (POSIX, through an open descriptor) reaches each file without walking its
// path again. This base holds the path alone, and calls by name join it.
class Folder {
 public:
  // `prefix`: the folder's path and one separator after it.
  explicit Folder(std::wstring prefix) : prefix_(std::move(prefix)) {}
  virtual ~Folder() = default;
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  // The whole path of `name` in this folder, for the log and calls by path.
  std::wstring PathOf(const std::wstring& name) const { return prefix_ + name; }
  const std::wstring& prefix() const { return prefix_; }

 private:
  const std::wstring prefix_;
};

// A file of the updater's own state (its journal) held open by the run.
// Everything done to it goes through the run's handle: whatever someone puts
// at its name meanwhile (a link to another file, a pipe) is never written,
// read, renamed or removed in its stead, and the run can tell whether the
// name still holds it. Closed, never removed, when destroyed.
class OwnFile {
 public:
  virtual ~OwnFile() = default;
  // Its whole path as it is named now, for the log.
  virtual const std::wstring& path() const = 0;
  // Appends `bytes` at its end and makes them durable before returning.
  virtual FileStatus AppendDurably(const std::string& bytes) = 0;
  // Its whole content from the start; kFailed, with nothing read, when it
  // holds more than `limit` bytes.
  virtual FileStatus ReadWhole(size_t limit, std::string* bytes) = 0;
  // Who owns it and who else may change it, asked of the open file.
  virtual FileStatus OwnershipOf(Ownership* ownership) = 0;
  // kOk while its name holds this very file; kChanged when another file,
  // a link or anything else stands there; kMissing when nothing does.
  virtual FileStatus StillNamed() = 0;
  // Gives it the name `name` in its folder, over a file or link standing
  // there (never a folder).
  virtual FileStatus Rename(const std::wstring& name) = 0;
  // Removes it, only while its name still holds it: kChanged, with nothing
  // removed, when the name holds something else.
  virtual FileStatus Remove() = 0;
};

// A lock file held by this process; see FileSystem::Lock.
class FileLock {
 public:
  virtual ~FileLock() = default;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // From now on: every write, and every look below `installation`, goes
  // through the installation's real folder, resolved once, and refuses a
  // path that leaves it or passes a link below it; entries that lead out of
  // `package` are marked in listings, and packaged files are read only from
  // inside it. Fails when the installation folder cannot be opened; an
  // empty `installation` confines the reads alone.
  virtual FileStatus Confine(const std::wstring& package, const std::wstring& installation) = 0;
  // The real path of an existing file or folder, in a form in which two
  // names of one file compare equal (on Windows: letter case folded).
  virtual std::wstring ComparablePath(const std::wstring& path) = 0;

  virtual PathKind Probe(const std::wstring& path) = 0;
  // Lists the folder's entries, "." and ".." left out; entries that are no
  // file or folder are marked special. False when it cannot be searched.
  virtual bool ListFolder(const std::wstring& folder,
                          FolderListing* listing) = 0;
  // Every name in `folder`, whatever stands at it (file, folder, link or any
  // other entry), "." and ".." left out: which names are taken, for a caller
  // that would otherwise look at each. A name made after the call is not
  // there. Only where names match exactly as spelt; kUnsupported where the
  // back-end cannot list them so, and the caller looks at each name instead.
  virtual FileStatus ListNames(const std::wstring& folder, std::vector<std::wstring>* names) {
    (void)folder;
    (void)names;
    return FileStatus(FileResult::kUnsupported);
  }
  // Renames within one volume; refuses when `to` exists.
  virtual FileStatus Move(const std::wstring& from, const std::wstring& to) = 0;
  // Copies contents and attributes, refusing when `to` exists; on Windows
  // the copy is never read-only, and durable before this returns wherever
  // CopiesDurable says so. With `digest`, the SHA-256 of the bytes copied,
  // from the same single read: what is installed is what was hashed. A
  // packaged file whose open leads out of the package is not copied
  // (kLeadsOut), nothing made.
  virtual FileStatus CopyNew(const std::wstring& from, const std::wstring& to,
                             Sha256Digest* digest) = 0;
  virtual FileStatus Remove(const std::wstring& path) = 0;

  // A second name for the file at `existing`; refuses when `name` exists.
  // kUnsupported where the file system has no hard links, or where the
  // back-end keeps to renames for a reason of its platform.
  virtual FileStatus Link(const std::wstring& existing, const std::wstring& name) = 0;
  // Renames `from` over `to` in one move: `to` names either file, never none.
  virtual FileStatus Replace(const std::wstring& from, const std::wstring& to) = 0;
  // What is at `path`, as Probe tells it, and for a file its identity. A
  // link is never followed below the installation.
  virtual PathKind Identify(const std::wstring& path, FileIdentity* identity) = 0;
  // Removes what stands at the name of one of the updater's own files: a
  // file, a link (itself, never what it leads to) or an empty folder.
  // kMissing when nothing is there; fails on anything else.
  virtual FileStatus ClearName(const std::wstring& path) = 0;

  // The folder at `prefix` (its path and a final separator) held for the
  // calls by name below, which act as the calls by path on the joined path
  // would. A folder that cannot be held otherwise is held by its path, and
  // the calls then fail as those by path do.
  virtual std::unique_ptr<Folder> HoldFolder(const std::wstring& prefix) {
    return std::make_unique<Folder>(prefix);
  }
  virtual FileStatus CopyNewIn(const Folder& from_folder, const std::wstring& from,
                               const Folder& to_folder, const std::wstring& to,
                               Sha256Digest* digest) {
    return CopyNew(from_folder.PathOf(from), to_folder.PathOf(to), digest);
  }
  virtual FileStatus LinkIn(const Folder& folder, const std::wstring& existing,
                            const std::wstring& name) {
    return Link(folder.PathOf(existing), folder.PathOf(name));
  }
  virtual FileStatus ReplaceIn(const Folder& folder, const std::wstring& from,
                               const std::wstring& to) {
    return Replace(folder.PathOf(from), folder.PathOf(to));
  }
  virtual FileStatus MoveIn(const Folder& folder, const std::wstring& from,
                            const std::wstring& to) {
    return Move(folder.PathOf(from), folder.PathOf(to));
  }
  // Link and move for the step that keeps an installed file aside:
  // `expected` is the identity the plan recorded for it. A back-end refuses
  // (kChanged) a file that is no longer that one; the defaults act as
  // LinkIn and MoveIn, whatever is there.
  virtual FileStatus LinkAsideIn(const Folder& folder, const std::wstring& existing,
                                 const std::wstring& name, const FileIdentity& expected) {
    (void)expected;
    return LinkIn(folder, existing, name);
  }
  virtual FileStatus MoveAsideIn(const Folder& folder, const std::wstring& from,
                                 const std::wstring& to, const FileIdentity& expected) {
    (void)expected;
    return MoveIn(folder, from, to);
  }
  virtual PathKind IdentifyIn(const Folder& folder, const std::wstring& name,
                              FileIdentity* identity) {
    return Identify(folder.PathOf(name), identity);
  }

  // Makes a file of the updater's own state at `path`, only where nothing
  // stands (a link there is never followed, nothing can make the call wait),
  // its own account alone allowed to it: mode 0600 and owned by the
  // effective user on POSIX; on Windows an access list of its own, owned by
  // the administrators when the run is elevated (else by its user), granting
  // that owner, the administrators and the system alone. Kept open in `file`.
  virtual FileStatus CreateOwn(const std::wstring& path, std::unique_ptr<OwnFile>* file) = 0;
  // Opens the state file at `path` that an earlier run may have left, for
  // reading and its removal: never through a link at its name, never waiting
  // (a pipe there is no file). kMissing when nothing is there; kFailed for
  // anything but a plain file.
  virtual FileStatus OpenOwn(const std::wstring& path, std::unique_ptr<OwnFile>* file) = 0;

  // Writes a new file, refusing when one exists, and makes it durable before
  // it returns.
  virtual FileStatus WriteNew(const std::wstring& path, const std::string& bytes) = 0;
  // The whole content of a small file, never following a link at its name.
  // kFailed, with nothing read, when it holds more than `limit` bytes.
  virtual FileStatus ReadWhole(const std::wstring& path, size_t limit, std::string* bytes) = 0;
  // The SHA-256 of a packaged file, read once in large blocks from the
  // handle that was checked to lie inside the package (kLeadsOut if not).
  // Without `digest`, that check alone: the file is opened, nothing read.
  virtual FileStatus HashFile(const std::wstring& path, Sha256Digest* digest) = 0;
  // Makes the renames, new names and removals in `folder` durable.
  virtual FileStatus FlushFolder(const std::wstring& folder) = 0;
  // Makes every file written below `folder` durable with one flush of its
  // volume or file system; kUnsupported where the platform cannot, and the
  // caller flushes each file.
  virtual FileStatus FlushVolume(const std::wstring& folder) = 0;
  virtual FileStatus FlushFile(const std::wstring& path) = 0;
  // True where CopyNew has made each copy durable before it returned and the
  // file system carries earlier renames to the disk with any later flushed
  // write: where the volume cannot be flushed, the commit then flushes no
  // file again. Asked after the copies: a back-end that expected the volume
  // flush to serve may have left them to it.
  virtual bool CopiesDurable() { return false; }
  // Takes the lock file at `path` for this process. kInUse when another
  // process holds it. A link or an empty folder at the name is removed, never
  // followed, and the lock taken in its place; anything else there that
  // cannot be opened as the lock fails. The lock goes, file and all, when
  // `lock` is destroyed, and the system drops it when the process dies,
  // however it dies.
  virtual FileStatus Lock(const std::wstring& path, std::unique_ptr<FileLock>* lock) = 0;
  // Whether the file `name` in `folder` could be given another name now, as
  // a step's rename needs, without renaming it: on Windows it is opened for
  // delete with the sharing a rename needs and closed again; on POSIX the
  // folder must be writable and the file neither immutable, append-only nor
  // a mount point. kInUse for a file another process or a mount holds.
  // kUnsupported where a back-end cannot tell.
  virtual FileStatus TryRenameIn(const Folder& folder, const std::wstring& name) {
    (void)folder;
    (void)name;
    return FileStatus(FileResult::kUnsupported);
  }
  // The bytes the run may still write on the volume of `folder`.
  virtual FileStatus FreeSpace(const std::wstring& folder, uint64_t* bytes) {
    (void)folder;
    (void)bytes;
    return FileStatus(FileResult::kUnsupported);
  }
  // A folder's own last access and change times, in the system's units,
  // read to be put back: a run that must leave a folder as it found it
  // still makes and removes its lock there.
  struct FolderTimes {
    int64_t accessed = 0;
    int64_t modified = 0;
  };
  virtual FileStatus ReadFolderTimes(const std::wstring& folder, FolderTimes* times) {
    (void)folder;
    (void)times;
    return FileStatus(FileResult::kUnsupported);
  }
  virtual FileStatus PutFolderTimes(const std::wstring& folder, const FolderTimes& times) {
    (void)folder;
    (void)times;
    return FileStatus(FileResult::kUnsupported);
  }
  // While on, a layer that waits for files held by other processes also
  // waits for "access denied": an undo must put old files back, and Windows
  // gives that answer for a file another process is closing or deleting.
  // Back-ends answer at once, as ever.
  virtual void WaitForAccessDenied(bool /*on*/) {}
};

// Message boxes: a modal box with an OK button and no owner window.
class Messages {
 public:
  enum class Style {
    kPlain,      // no icon, the given caption
    kFramework,  // exclamation icon; the caption is the application title
  };
  virtual ~Messages() = default;
  virtual void Show(const std::wstring& text, const std::wstring& caption,
                    Style style) = 0;
  // How to start the program: the help that was asked for, or the answer to
  // a command line that was not understood (`mistake`). A box on Windows;
  // standard output or standard error on POSIX.
  virtual void ShowUsage(const std::wstring& text, const std::wstring& caption,
                         bool mistake) = 0;
};

// A sign of life for a person watching a long run, and that person's way to
// cancel it: a small window on Windows, a line that rewrites itself on a
// POSIX terminal (where SIGINT and SIGTERM cancel). Nothing shows before
// Start, nor before the run has worked for about a second, so quick runs and
// quiet ones never see it. Every word it shows is the core's.
class Progress {
 public:
  struct Texts {
    std::wstring caption;           // of the window
    std::wstring cancel;            // of its Cancel button
    std::wstring question;          // asked, Yes or No, before a cancel counts
    std::wstring question_caption;
    // The lines that change, worded only when a display draws them, so that
    // a run reporting every file builds no text that nobody sees.
    // "n of N files" and the percentage; `done` of `total`, total above 0.
    std::wstring (*count)(size_t done, size_t total) = nullptr;
    // The time left once the stage has worked `worked_ms`; "" while it
    // cannot be told yet.
    std::wstring (*time_left)(uint64_t worked_ms, size_t done, size_t total) = nullptr;
    // While the run waits for `file`, which the programs named in
    // `programs` hold ("" when none could be named).
    std::wstring (*waiting)(std::wstring_view file, std::wstring_view programs) = nullptr;
  };
  virtual ~Progress() = default;
  // From now on progress may show, in these words. True where a person may
  // see it (a window; a terminal), which makes it worth waiting for a file
  // in use while telling that person which program to close.
  virtual bool Start(const Texts& texts) = 0;
  // What the run is at: `stage`, `done` of `total` files (total 0: not
  // counted), and the file at hand, `name` in the folder whose path and
  // final separator are `folder` (both empty: none). Cheap: called for every
  // file, and copies what it needs.
  virtual void Report(std::wstring_view stage, size_t done, size_t total, std::wstring_view folder,
                      std::wstring_view name) = 0;
  void Report(std::wstring_view stage, size_t done, size_t total) {
    Report(stage, done, total, {}, {});
  }
  // The run waits for `file`, held by `programs` ("" when unknown), until
  // a Waiting with an empty `file`.
  virtual void Waiting(std::wstring_view file, std::wstring_view programs) = 0;
  // Whether a person may cancel from now on. Off past the commit point and
  // during an undo or a recovery, which must finish; off at first.
  virtual void AllowCancel(bool allowed) = 0;
  // True once a person asked to cancel, and said Yes when asked, while
  // cancelling is allowed; it stays true while it is. Waits for the answer
  // while the question is open. The back-end only records the request: the
  // core decides when it is acted on.
  virtual bool CancelRequested() = 0;
  // Gone from the screen before it returns, as before any message; a later
  // Report brings it back.
  virtual void Close() = 0;
};

// Everything the run reaches the system through.
struct Platform {
  wchar_t separator;  // between the parts of a path: '\\' or '/'
  Environment& environment;
  ProfileReader& profile;
  Registry& registry;
  VersionLibrary& library;
  ProcessList& processes;
  FileSystem& files;
  Messages& messages;
  Progress& progress;
};

}  // namespace kestrune

#endif  // KESTRUNE_PLATFORM_PLATFORM_H_
