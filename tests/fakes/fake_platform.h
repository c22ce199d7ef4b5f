// In-memory stand-ins for the platform services, recording what the core
// asked of them.
#ifndef KESTRUNE_TESTS_FAKES_FAKE_PLATFORM_H_
#define KESTRUNE_TESTS_FAKES_FAKE_PLATFORM_H_

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/text.h"
#include "platform/utf.h"

namespace kestrune::testing {

// A log file in memory; what it holds outlives it. `held`, when given,
// tells whether the file is held against other runs.
class FakeLogFile : public LogFile {
 public:
  explicit FakeLogFile(std::string* text, bool* held = nullptr) : text_(text), held_(held) {}
  void Hold() override {
    if (held_ != nullptr) *held_ = true;
  }
  bool Append(const std::string& utf8) override {
    *text_ += utf8;
    if (held_ != nullptr) *held_ = false;
    return true;
  }

 private:
  std::string* text_;
  bool* held_;
};

class FakeEnvironment : public Environment {
 public:
  void InitCommonControls() override { ++common_controls; }
  std::wstring ModulePath() override { return module_path; }
  bool SetCurrentFolder(const std::wstring& path) override {
    current_folder = path;
    return true;
  }
  std::vector<std::wstring> Arguments() override { return arguments; }
  std::wstring CommandLine() override { return L"Kestrune.exe"; }
  LocalTime Now() override {
    if (log_held) ++stamped_held;
    return now;
  }
  void Sleep(unsigned milliseconds) override { sleeps.push_back(milliseconds); }
  std::wstring ErrorText(uint32_t code) override { return L"text of " + std::to_wstring(code); }
  std::unique_ptr<LogFile> OpenLog(const std::wstring& path) override {
    log_paths.push_back(path);
    if (!log_opens) return nullptr;
    return std::make_unique<FakeLogFile>(&log, &log_held);
  }
  std::unique_ptr<LogFile> OpenDefaultLog(uint64_t limit) override {
    default_log_limit = limit;
    if (!default_log_opens) return nullptr;
    return std::make_unique<FakeLogFile>(&default_log);
  }
  uint32_t ProcessId() override { return 4242; }
  RunAccount Account() override { return account; }
  bool IsAccessDenied(uint32_t code) override { return code == 5; }

  LocalTime now{2026, 12, 7, 11, 8, 37, 5, 60};
  std::wstring module_path = L"C:\\pkg\\Kestrune.exe";
  std::wstring current_folder;
  int common_controls = 0;
  std::vector<std::wstring> arguments;
  std::vector<unsigned> sleeps;
  std::vector<std::wstring> log_paths;
  bool log_opens = true;
  std::string log;
  bool log_held = false;  // between the log's Hold and its Append
  bool default_log_opens = true;  // false: none, or one the run may not use
  std::string default_log;        // what runs given no log wrote
  uint64_t default_log_limit = 0;
  int stamped_held = 0;   // times read while the log was held
  RunAccount account{L"PC-0042", L"CORP\\deploy", Elevation::kElevated};
};

class FakeProfile : public ProfileReader {
 public:
  std::wstring ReadString(const std::wstring& section, const std::wstring& key,
                          const std::wstring& path, size_t capacity) override {
    reads.push_back(path);
    auto it = values.find(section + L"|" + key);
    if (it == values.end()) return L"";
    return it->second.substr(0, capacity - 1);
  }
  void Set(const std::wstring& key, const std::wstring& value) {
    values[L"Product|" + key] = value;
  }

  std::map<std::wstring, std::wstring> values;
  std::vector<std::wstring> reads;
};

// Keys match without regard to ASCII case, as the registry's do.
class FakeRegistry : public Registry {
 public:
  std::unique_ptr<RegistryKey> OpenKey(const std::wstring& path) override;

  void SetText(const std::wstring& key, const std::wstring& name,
               const std::wstring& text) {
    std::vector<uint8_t> bytes = Utf16LeFromWide(text);
    bytes.push_back(0);
    bytes.push_back(0);
    keys[ToLowerAscii(key)][ToLowerAscii(name)] = bytes;
  }
  void AddKey(const std::wstring& key) { keys[ToLowerAscii(key)]; }

  std::map<std::wstring, std::map<std::wstring, std::vector<uint8_t>>> keys;
  std::vector<std::wstring> opened;  // every path asked for, opened or not
  int open_keys = 0;                 // keys not yet closed
};

class FakeRegistryKey : public RegistryKey {
 public:
  FakeRegistryKey(FakeRegistry& registry,
                  const std::map<std::wstring, std::vector<uint8_t>>& values)
      : registry_(registry), values_(values) {
    ++registry_.open_keys;
  }
  ~FakeRegistryKey() override { --registry_.open_keys; }
  bool ReadValue(const std::wstring& name, size_t capacity,
                 std::vector<uint8_t>* bytes) override {
    auto it = values_.find(ToLowerAscii(name));
    if (it == values_.end() || it->second.size() > capacity) return false;
    *bytes = it->second;
    return true;
  }

 private:
  FakeRegistry& registry_;
  const std::map<std::wstring, std::vector<uint8_t>>& values_;
};

inline std::unique_ptr<RegistryKey> FakeRegistry::OpenKey(const std::wstring& path) {
  opened.push_back(path);
  auto it = keys.find(ToLowerAscii(path));
  if (it == keys.end()) return nullptr;
  return std::make_unique<FakeRegistryKey>(*this, it->second);
}

class FakeLibrary : public VersionLibrary {
 public:
  Outcome CallVersionEntry(const std::wstring& path, uint8_t* buffer, int32_t size,
                           int32_t flags, std::wstring* why) override {
    paths.push_back(path);
    if (outcome != Outcome::kCalled) *why = cause;
    if (outcome == Outcome::kCalled) {
      // Records what the buffer held when the library saw it.
      seen_before.assign(buffer, buffer + 40);
      std::memcpy(buffer, answer.data(), answer.size() < 40 ? answer.size() : 40);
      sizes.push_back(size);
      flag_values.push_back(flags);
    }
    return outcome;
  }
  void Answer8(const std::string& text) {
    answer.assign(text.begin(), text.end());
    answer.push_back(0);
  }
  void Answer16(const std::wstring& text) {
    answer = Utf16LeFromWide(text);
    answer.push_back(0);
    answer.push_back(0);
  }

  Outcome outcome = Outcome::kCalled;
  std::wstring cause;
  std::vector<uint8_t> answer;
  std::vector<uint8_t> seen_before;
  std::vector<std::wstring> paths;
  std::vector<int32_t> sizes;
  std::vector<int32_t> flag_values;
};

class FakeProcesses : public ProcessList {
 public:
  std::vector<DriveDevice> DriveDevices() override {
    ++drive_table_builds;
    return devices;
  }
  bool Enumerate(std::vector<uint32_t>* ids) override {
    if (!enumerable) return false;
    ids->clear();
    for (const auto& process : processes) ids->push_back(process.first);
    return true;
  }
  bool ImagePath(uint32_t id, std::wstring* path) override {
    examined.push_back(id);
    for (const auto& process : processes) {
      if (process.first != id) continue;
      if (process.second.empty()) return false;  // cannot be opened
      *path = process.second;
      return true;
    }
    return false;
  }
  std::wstring ComparableProductPath(const std::wstring& folder,
                                     const std::wstring& name) override {
    return JoinPath(folder, name, separator);
  }
  std::wstring ComparableImagePath(const std::wstring& image_path) override {
    auto it = comparable.find(image_path);
    return it == comparable.end() ? image_path : it->second;
  }
  std::wstring DisplayPath(const std::wstring& path) override {
    auto it = on_disk.find(path);
    return it == on_disk.end() ? path : it->second;
  }
  std::vector<FileHolder> Holders(const std::wstring& path) override {
    auto it = holders.find(path);
    return it == holders.end() ? std::vector<FileHolder>() : it->second;
  }
  void Add(uint32_t id, const std::wstring& image_path) {
    processes.emplace_back(id, image_path);
  }

  wchar_t separator = L'\\';
  bool enumerable = true;
  std::vector<std::pair<uint32_t, std::wstring>> processes;
  std::vector<DriveDevice> devices;
  std::vector<uint32_t> examined;
  int drive_table_builds = 0;
  // Image paths whose comparable form differs (a short name, say).
  std::map<std::wstring, std::wstring> comparable;
  // Paths spelt otherwise on disk (letter case, say).
  std::map<std::wstring, std::wstring> on_disk;
  std::map<std::wstring, std::vector<FileHolder>> holders;  // of files in use
};

class FakeMessages : public Messages {
 public:
  struct Box {
    std::wstring text;
    std::wstring caption;
    Style style;
  };
  void Show(const std::wstring& text, const std::wstring& caption,
            Style style) override {
    boxes.push_back(Box{text, caption, style});
    if (on_show) on_show();
  }
  void ShowUsage(const std::wstring& text, const std::wstring& caption,
                 bool mistake) override {
    usages.push_back(Box{text, caption, mistake ? Style::kFramework : Style::kPlain});
    if (on_show) on_show();
  }

  std::vector<Box> boxes;
  std::vector<Box> usages;  // style kFramework marks a mistake
  // Called while a box or usage is on the screen, to see the world then.
  std::function<void()> on_show;
};

// The calls a fake file system was asked for, one line each; `on_call`
// sees each as it is made, to change the world at that instant.
struct CallLog : std::vector<std::wstring> {
  void push_back(std::wstring entry) {
    if (on_call) on_call(entry);
    std::vector<std::wstring>::push_back(std::move(entry));
  }
  std::function<void(const std::wstring&)> on_call;
};

// A file tree in memory; folders list their entries in creation order, which
// stands for the platform's order. Every operation can be made to fail.
class FakeFileSystem : public FileSystem {
 public:
  explicit FakeFileSystem(wchar_t separator = L'\\') : separator_(separator) {}

  void AddFolder(const std::wstring& path) { Put(path, Node{true, "", false, ++ids_}); }
  void AddFile(const std::wstring& path, const std::string& content) {
    Put(path, Node{false, content, false, ++ids_});
  }
  // A folder that exists but cannot be searched.
  void AddSealedFolder(const std::wstring& path) { Put(path, Node{true, "", true, ++ids_}); }
  bool Has(const std::wstring& path) const { return nodes_.count(path) != 0; }
  std::string Content(const std::wstring& path) const {
    auto it = nodes_.find(path);
    return it == nodes_.end() ? std::string("<missing>") : it->second.content;
  }
  // Every path, in creation order.
  std::vector<std::wstring> Paths() const { return order_; }

  // An installation folder opens when it is a folder, or holds anything
  // (files may be added without their folders).
  FileStatus Confine(const std::wstring& package, const std::wstring& installation) override {
    confined = {package, installation};
    return installation.empty() ? FileStatus() : FolderStatus(installation);
  }
  std::wstring ComparablePath(const std::wstring& path) override {
    std::wstring real = Resolve(path);
    while (real.size() > 3 && real.back() == separator_) real.pop_back();
    return ToLowerAscii(real);
  }
  PathKind Probe(const std::wstring& path) override {
    log.push_back(L"probe " + path);
    if (linked.count(path)) return PathKind::kLink;
    if (Fails(path, L"probe")) return PathKind::kError;
    auto it = nodes_.find(path);
    if (it == nodes_.end()) return PathKind::kMissing;
    return it->second.folder ? PathKind::kFolder : PathKind::kFile;
  }
  bool ListFolder(const std::wstring& folder, FolderListing* listing) override {
    const std::wstring real = Resolve(folder);
    auto it = nodes_.find(real);
    if (it == nodes_.end() || !it->second.folder || it->second.sealed) return false;
    listing->has_id = true;
    listing->id.index = std::hash<std::wstring>()(real);
    listing->entries.clear();
    const std::wstring prefix = real + separator_;
    auto is_child = [&](const std::wstring& path) {
      return path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0 &&
             path.find(separator_, prefix.size()) == std::wstring::npos;
    };
    for (const std::wstring& path : order_) {
      if (is_child(path)) {
        listing->entries.push_back(FolderEntry{path.substr(prefix.size()), nodes_.at(path).folder,
                                               outside.count(path) != 0,
                                               special.count(path) != 0});
      }
    }
    for (const auto& link : links_) {
      if (is_child(link.first)) {
        listing->entries.push_back(FolderEntry{link.first.substr(prefix.size()), true});
      }
    }
    return true;
  }
  // Names as they are spelt; a folder that holds nothing is not told from
  // one that is missing, and a folder with a link on its way is not listed.
  FileStatus ListNames(const std::wstring& folder, std::vector<std::wstring>* names) override {
    listed_names.push_back(folder);
    if (!names_listed) return FileResult::kUnsupported;
    for (const std::wstring& path : linked) {
      if (folder == path || IsBelowFolder(folder, path, separator_)) {
        return FileStatus(FileResult::kFailed, 1921);
      }
    }
    names->clear();
    const std::wstring prefix = folder + separator_;
    for (const std::wstring& path : order_) {
      if (path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0 &&
          path.find(separator_, prefix.size()) == std::wstring::npos &&
          unlisted.count(path) == 0) {
        names->push_back(path.substr(prefix.size()));
      }
    }
    return names->empty() ? FileStatus(FileResult::kMissing, 3) : FileStatus();
  }
  FileStatus Move(const std::wstring& from, const std::wstring& to) override {
    log.push_back(L"move " + from + L" -> " + to);
    if (const FileStatus busy_now = Busy(from, L"move"); !busy_now.ok()) return busy_now;
    if (Fails(from, L"move")) return FileStatus(FileResult::kFailed, 5);
    if (!Has(from)) return FileResult::kMissing;
    if (Has(to)) return FileResult::kTargetExists;
    Node node = nodes_.at(from);
    Erase(from);
    Put(to, node);
    return FileResult::kOk;
  }
  FileStatus CopyNew(const std::wstring& from, const std::wstring& to,
                     Sha256Digest* digest) override {
    log.push_back(L"copy " + from + L" -> " + to);
    for (const auto& [path, content] : taken_at_copy) {
      Erase(path);
      Put(path, Node{false, content, false, ++ids_});
    }
    taken_at_copy.clear();
    if (Has(to)) return FileResult::kTargetExists;
    if (Fails(from, L"copy")) {
      // A copy that breaks off midway leaves part of the file behind.
      if (partial_copies) Put(to, Node{false, "partial", false, ++ids_});
      return FileStatus(FileResult::kFailed, 5);
    }
    auto it = nodes_.find(from);
    if (it == nodes_.end() || it->second.folder) return FileResult::kFailed;
    Node copy = it->second;
    copy.id = ++ids_;
    Put(to, copy);
    if (digest == nullptr) return FileResult::kOk;
    Sha256 hash;
    hash.Update(copy.content.data(), copy.content.size());
    return hash.Finish(digest) ? FileStatus() : FileStatus(FileResult::kFailed, 5);
  }
  FileStatus Remove(const std::wstring& path) override {
    log.push_back(L"remove " + path);
    if (const FileStatus busy_now = Busy(path, L"remove"); !busy_now.ok()) return busy_now;
    if (Fails(path, L"remove")) return FileResult::kFailed;
    if (!Has(path)) return FileResult::kMissing;
    if (nodes_.at(path).folder) return FileResult::kFailed;
    Erase(path);
    return FileResult::kOk;
  }

  // Kept aside only while still the file the plan identified, as the
  // back-ends do; a path in `written_before_aside` is written to first, once.
  FileStatus LinkAsideIn(const Folder& folder, const std::wstring& existing,
                         const std::wstring& name, const FileIdentity& expected) override {
    if (!StillAsPlanned(folder.PathOf(existing), expected)) return FileResult::kChanged;
    return LinkIn(folder, existing, name);
  }
  FileStatus MoveAsideIn(const Folder& folder, const std::wstring& from, const std::wstring& to,
                         const FileIdentity& expected) override {
    if (!StillAsPlanned(folder.PathOf(from), expected)) return FileResult::kChanged;
    return MoveIn(folder, from, to);
  }
  FileStatus Link(const std::wstring& existing, const std::wstring& name) override {
    log.push_back(L"link " + existing + L" -> " + name);
    if (!links_supported) return FileResult::kUnsupported;
    if (Fails(existing, L"link")) return FileStatus(FileResult::kFailed, 5);
    if (!Has(existing)) return FileResult::kMissing;
    if (Has(name)) return FileResult::kTargetExists;
    Put(name, nodes_.at(existing));
    return FileResult::kOk;
  }
  FileStatus Replace(const std::wstring& from, const std::wstring& to) override {
    log.push_back(L"replace " + from + L" -> " + to);
    if (const FileStatus busy_now = Busy(to, L"replace"); !busy_now.ok()) return busy_now;
    if (Fails(from, L"replace")) return FileStatus(FileResult::kFailed, 5);
    if (!Has(from)) return FileResult::kMissing;
    Node node = nodes_.at(from);
    Erase(from);
    Erase(to);
    Put(to, node);
    return FileResult::kOk;
  }
  PathKind Identify(const std::wstring& path, FileIdentity* identity) override {
    const PathKind kind = Probe(path);
    if (kind == PathKind::kFile) {
      const Node& node = nodes_.at(path);
      *identity = FileIdentity{1, static_cast<uint64_t>(node.id), node.content.size(), 0};
    }
    return kind;
  }
  FileStatus ClearName(const std::wstring& path) override {
    if (!Has(path)) return FileResult::kMissing;
    log.push_back(L"clear " + path);
    if (Fails(path, L"clear")) return FileStatus(FileResult::kFailed, 5);
    const std::wstring prefix = path + separator_;
    for (const std::wstring& other : order_) {
      if (other.compare(0, prefix.size(), prefix) == 0) return FileStatus(FileResult::kFailed, 145);
    }
    Erase(path);
    return FileResult::kOk;
  }
  FileStatus CreateOwn(const std::wstring& path, std::unique_ptr<OwnFile>* file) override {
    log.push_back(L"create " + path);
    if (Fails(path, L"create")) return FileStatus(FileResult::kFailed, 28);
    if (Has(path)) return FileResult::kTargetExists;
    Put(path, Node{false, "", false, ++ids_});
    *file = std::make_unique<Own>(this, path, ids_);
    return FileResult::kOk;
  }
  FileStatus OpenOwn(const std::wstring& path, std::unique_ptr<OwnFile>* file) override {
    if (!Has(path)) return FileResult::kMissing;
    if (Fails(path, L"open") || nodes_.at(path).folder) return FileStatus(FileResult::kFailed, 5);
    *file = std::make_unique<Own>(this, path, nodes_.at(path).id);
    return FileResult::kOk;
  }
  FileStatus WriteNew(const std::wstring& path, const std::string& bytes) override {
    log.push_back(L"write " + path);
    if (Fails(path, L"write")) return FileStatus(FileResult::kFailed, 28);
    if (Has(path)) return FileResult::kTargetExists;
    Put(path, Node{false, bytes, false, ++ids_});
    return FileResult::kOk;
  }
  FileStatus ReadWhole(const std::wstring& path, size_t limit, std::string* bytes) override {
    if (!Has(path)) return FileResult::kMissing;
    if (nodes_.at(path).content.size() > limit) return FileStatus(FileResult::kFailed, 223);
    *bytes = nodes_.at(path).content;
    return FileResult::kOk;
  }
  FileStatus HashFile(const std::wstring& path, Sha256Digest* digest) override {
    const std::wstring real = Resolve(path);
    if (Fails(path, L"hash")) return FileStatus(FileResult::kFailed, 32);
    if (!Has(real) || nodes_.at(real).folder) return FileResult::kMissing;
    Sha256 hash;
    hash.Update(nodes_.at(real).content.data(), nodes_.at(real).content.size());
    return hash.Finish(digest) ? FileStatus() : FileStatus(FileResult::kFailed, 5);
  }
  FileStatus FlushFolder(const std::wstring& folder) override {
    log.push_back(L"flush " + folder);
    return FileResult::kOk;
  }
  FileStatus FlushVolume(const std::wstring& folder) override {
    log.push_back(L"flush all " + folder);
    if (Fails(folder, L"flush")) return FileStatus(FileResult::kFailed, 5);
    return volume_flush ? FileStatus() : FileStatus(FileResult::kUnsupported);
  }
  FileStatus FlushFile(const std::wstring& path) override {
    log.push_back(L"flush " + path);
    return Fails(path, L"flush") ? FileStatus(FileResult::kFailed, 5) : FileStatus();
  }
  bool CopiesDurable() override { return copies_durable; }
  // No lock is made in a folder that does not exist.
  FileStatus Lock(const std::wstring& path, std::unique_ptr<FileLock>* lock) override {
    if (locked.count(path)) return FileStatus(FileResult::kInUse, 32);
    const size_t cut = path.rfind(separator_);
    if (const FileStatus folder = FolderStatus(path.substr(0, cut == std::wstring::npos ? 0 : cut));
        !folder.ok()) {
      return folder;
    }
    if (Fails(path, L"lock")) return FileStatus(FileResult::kFailed, 21);
    locked.insert(path);
    *lock = std::make_unique<Held>(this, path);
    return FileResult::kOk;
  }

  FileStatus TryRenameIn(const Folder& folder, const std::wstring& name) override {
    const std::wstring path = folder.PathOf(name);
    if (Fails(path, L"try")) return FileStatus(FileResult::kInUse, 32);
    return Has(path) ? FileStatus() : FileStatus(FileResult::kMissing, 2);
  }
  FileStatus FreeSpace(const std::wstring& folder, uint64_t* bytes) override {
    if (Fails(folder, L"space")) return FileStatus(FileResult::kFailed, 5);
    *bytes = free_space;
    return FileStatus();
  }

  // Makes `operation` ("probe", "clear", "try", "space", "move", "copy", "remove", "link", "replace",
  // "write", "create", "open", "append", "named", "rename", "flush", "hash")
  // fail whenever its first path contains `needle`.
  void FailWhen(const std::wstring& operation, const std::wstring& needle) {
    failures.emplace_back(operation, needle);
  }
  // Makes `operation` ("move", "remove", "replace") answer "in use" (or
  // `answer`) for its first `times` calls whose first path contains `needle`.
  void BusyWhen(const std::wstring& operation, const std::wstring& needle, int times,
                FileStatus answer = FileStatus(FileResult::kInUse, 32)) {
    busy.push_back(Busy_{operation, needle, times, answer});
  }
  // A folder entry that leads to `target` (a folder link).
  void AddFolderLink(const std::wstring& link, const std::wstring& target) {
    links_.emplace_back(link, target);
  }

  CallLog log;
  std::vector<std::pair<std::wstring, std::wstring>> failures;
  bool partial_copies = false;
  uint64_t free_space = uint64_t{1} << 40;  // on the installation's volume
  bool links_supported = true;
  bool volume_flush = true;  // false: each file is flushed instead
  bool copies_durable = false;  // true: nor each file, when the volume is not
  std::pair<std::wstring, std::wstring> confined;  // package, installation
  std::set<std::wstring> linked;  // paths that pass a link where none may be
  std::set<std::wstring> outside;  // folder entries that lead out of the package
  std::set<std::wstring> special;  // folder entries that are no file or folder
  std::set<std::wstring> locked;  // lock files held, by this run or another
  bool names_listed = true;  // false: ListNames is unsupported, as on Windows
  std::set<std::wstring> unlisted;  // paths made after any listing, left out of it
  std::vector<std::wstring> listed_names;  // the folders ListNames was asked for
  std::set<std::wstring> written_before_aside;  // written to between plan and step
  // Who owns a file and who else may change it, as the open file tells;
  // the run's own account alone where not given.
  std::map<std::wstring, Ownership> owners;
  // Names that another file (this content) takes at the first copy, as a
  // user who may write the folder can do to a name the run holds.
  std::map<std::wstring, std::string> taken_at_copy;

 private:
  // kOk for a folder, or a path that anything lies below.
  FileStatus FolderStatus(const std::wstring& folder) const {
    const auto it = nodes_.find(folder);
    if (it != nodes_.end()) {
      return it->second.folder ? FileStatus() : FileStatus(FileResult::kFailed, 267);
    }
    for (const std::wstring& path : order_) {
      if (IsBelowFolder(path, folder, separator_)) return FileStatus();
    }
    return FileStatus(FileResult::kMissing, 3);
  }

  bool StillAsPlanned(const std::wstring& path, const FileIdentity& expected) {
    if (written_before_aside.erase(path) != 0 && Has(path)) {
      nodes_.at(path).content += ", written meanwhile";
    }
    // Anything but a file is left to the call itself to refuse. Not a look
    // of its own: tests count the plan's looks.
    const auto it = nodes_.find(path);
    if (it == nodes_.end() || it->second.folder) return true;
    return FileIdentity{1, static_cast<uint64_t>(it->second.id), it->second.content.size(), 0} ==
           expected;
  }

  struct Node {
    bool folder;
    std::string content;
    bool sealed;
    int id;  // one file under two names shares it
  };
  class Held : public FileLock {
   public:
    Held(FakeFileSystem* files, std::wstring path) : files_(files), path_(std::move(path)) {}
    ~Held() override { files_->locked.erase(path_); }

   private:
    FakeFileSystem* files_;
    std::wstring path_;
  };
  // A state file held by the run: its node by id, wherever names lead.
  class Own : public OwnFile {
   public:
    Own(FakeFileSystem* files, std::wstring path, int id)
        : files_(files), path_(std::move(path)), id_(id) {}
    const std::wstring& path() const override { return path_; }
    FileStatus AppendDurably(const std::string& bytes) override {
      files_->log.push_back(L"append " + path_);
      if (files_->Fails(path_, L"append")) return FileStatus(FileResult::kFailed, 28);
      // Written to the file held, wherever its name is now.
      (Mine() != nullptr ? Mine()->content : detached_) += bytes;
      return FileResult::kOk;
    }
    FileStatus ReadWhole(size_t limit, std::string* bytes) override {
      const std::string& content = Mine() != nullptr ? Mine()->content : detached_;
      if (content.size() > limit) return FileStatus(FileResult::kFailed, 223);
      *bytes = content;
      return FileResult::kOk;
    }
    FileStatus OwnershipOf(Ownership* ownership) override {
      const auto it = files_->owners.find(path_);
      *ownership = it != files_->owners.end()
                       ? it->second
                       : Ownership{Principal::kRunUser, L"the run", true, {}};
      return FileResult::kOk;
    }
    FileStatus StillNamed() override {
      if (files_->Fails(path_, L"named")) return FileStatus(FileResult::kFailed, 5);
      return Named();
    }
    FileStatus Rename(const std::wstring& name) override {
      std::wstring to = path_.substr(0, path_.find_last_of(files_->separator_) + 1) + name;
      files_->log.push_back(L"rename " + path_ + L" -> " + to);
      if (files_->Fails(path_, L"rename")) return FileStatus(FileResult::kFailed, 5);
      const FileStatus named = Named();
      if (!named.ok()) return named;
      const Node node = files_->nodes_.at(path_);
      files_->Erase(path_);
      files_->Erase(to);
      files_->Put(to, node);
      path_ = std::move(to);
      return FileResult::kOk;
    }
    FileStatus Remove() override {
      files_->log.push_back(L"remove " + path_);
      if (files_->Fails(path_, L"remove")) return FileStatus(FileResult::kFailed, 5);
      const FileStatus named = Named();
      if (named.ok()) files_->Erase(path_);
      return named;
    }

   private:
    // The look that a rename and a removal make of their own.
    FileStatus Named() const {
      const auto it = files_->nodes_.find(path_);
      if (it == files_->nodes_.end()) return FileResult::kMissing;
      return it->second.id == id_ ? FileStatus() : FileStatus(FileResult::kChanged);
    }
    Node* Mine() {
      for (auto& [path, node] : files_->nodes_) {
        if (node.id == id_) return &node;
      }
      return nullptr;
    }
    FakeFileSystem* files_;
    std::wstring path_;
    const int id_;
    std::string detached_;  // written after its name was taken: nowhere to see
  };

  int ids_ = 0;
  struct Busy_ {
    std::wstring operation;
    std::wstring needle;
    int times;
    FileStatus answer;
  };
  // The answer of a call made busy, or kOk.
  FileStatus Busy(const std::wstring& path, const wchar_t* operation) {
    for (Busy_& b : busy) {
      if (b.operation == operation && b.times > 0 && path.find(b.needle) != std::wstring::npos) {
        --b.times;
        return b.answer;
      }
    }
    return FileStatus();
  }
  std::vector<Busy_> busy;
  bool Fails(const std::wstring& path, const wchar_t* operation) const {
    for (const auto& failure : failures) {
      if (failure.first == operation && path.find(failure.second) != std::wstring::npos)
        return true;
    }
    return false;
  }
  void Put(const std::wstring& path, const Node& node) {
    if (nodes_.emplace(path, node).second) order_.push_back(path);
  }
  void Erase(const std::wstring& path) {
    nodes_.erase(path);
    for (auto it = order_.begin(); it != order_.end(); ++it) {
      if (*it == path) {
        order_.erase(it);
        break;
      }
    }
  }
  // The real folder a path leads to through folder links.
  std::wstring Resolve(std::wstring path) const {
    for (int round = 0; round < 64; ++round) {
      bool changed = false;
      for (const auto& link : links_) {
        const size_t n = link.first.size();
        if (path.compare(0, n, link.first) == 0 &&
            (path.size() == n || path[n] == separator_)) {
          path = link.second + path.substr(n);
          changed = true;
        }
      }
      if (!changed) break;
    }
    return path;
  }

  const wchar_t separator_;
  std::map<std::wstring, Node> nodes_;
  std::vector<std::wstring> order_;
  std::vector<std::pair<std::wstring, std::wstring>> links_;
};

// Records what a person would have seen, and whether it is on the screen;
// a person's cancel is `requested`, or made by `cancel_when` as the core
// looks for one.
class FakeProgress : public Progress {
 public:
  using Progress::Report;
  bool Start(const Texts& given) override {
    words = given;
    title = given.caption;
    return seen;
  }
  void Report(std::wstring_view stage, size_t done, size_t total, std::wstring_view folder,
              std::wstring_view name) override {
    if (title.empty()) return;  // not started: nothing shows
    if (texts.empty() || texts.back() != stage) {
      texts.emplace_back(stage);
      cancellable.push_back(!allowed.empty() && allowed.back());
    }
    last.assign(stage);
    if (total > 0) last += L": " + words.count(done, total);
    file.assign(folder).append(name);
    size_t& most = furthest[texts.back()];
    most = std::max(most, done);
    last_done = done;
    last_total = total;
    shown = true;
  }
  void Waiting(std::wstring_view file_waited, std::wstring_view programs) override {
    if (!file_waited.empty()) waits.push_back(words.waiting(file_waited, programs));
    waiting = !file_waited.empty();
  }
  void AllowCancel(bool on) override {
    if (allowed.empty() || allowed.back() != on) allowed.push_back(on);
  }
  bool CancelRequested() override {
    const bool on = !allowed.empty() && allowed.back();
    if (on && !requested && cancel_when && cancel_when(*this)) requested = true;
    return on && requested;
  }
  void Close() override { shown = false; }

  bool seen = false;  // what Start answers: whether a person may see it
  Texts words;
  std::wstring title;
  std::vector<std::wstring> texts;  // each stage, in order
  std::vector<bool> cancellable;    // for each, whether cancelling was allowed as it began
  std::wstring last;                // the last stage and its count
  std::wstring file;                // the last file reported
  std::map<std::wstring, size_t> furthest;  // the most done in each stage
  size_t last_done = 0;
  size_t last_total = 0;
  bool shown = false;
  std::vector<std::wstring> waits;  // each wait as a person reads it
  bool waiting = false;             // one is on the screen now
  std::vector<bool> allowed;        // each change of whether cancelling is
  bool requested = false;
  std::function<bool(const FakeProgress&)> cancel_when;
};

// A whole platform of fakes, with Windows-style paths by default.
struct FakePlatform {
  explicit FakePlatform(wchar_t separator = L'\\') : separator(separator), files(separator) {
    processes.separator = separator;
  }
  Platform platform() {
    return Platform{separator, environment, profile, registry, library,
                    processes, files,       messages, progress};
  }

  wchar_t separator;
  FakeEnvironment environment;
  FakeProfile profile;
  FakeRegistry registry;
  FakeLibrary library;
  FakeProcesses processes;
  FakeFileSystem files;
  FakeMessages messages;
  FakeProgress progress;
};

}  // namespace kestrune::testing

#endif  // KESTRUNE_TESTS_FAKES_FAKE_PLATFORM_H_
