// In-memory stand-ins for the platform services, recording what the core
// asked of them.
#ifndef KESTRUNE_TESTS_FAKES_FAKE_PLATFORM_H_
#define KESTRUNE_TESTS_FAKES_FAKE_PLATFORM_H_

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
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
// stands for the platform's order. Every operation can be made to fail, and
// the power can be cut (below).
class FakeFileSystem : public FileSystem {
 public:
  explicit FakeFileSystem(wchar_t separator = L'\\') : separator_(separator) {}

  void AddFolder(const std::wstring& path) { Put(path, Node{true, false, ++ids_}); }
  void AddFile(const std::wstring& path, const std::string& content) {
    Put(path, Node{false, false, NewFile(content)});
  }
  // A folder that exists but cannot be searched.
  void AddSealedFolder(const std::wstring& path) { Put(path, Node{true, true, ++ids_}); }
  bool Has(const std::wstring& path) const { return nodes_.count(path) != 0; }
  std::string Content(const std::wstring& path) const {
    auto it = nodes_.find(path);
    return it == nodes_.end() ? std::string("<missing>") : BytesOf(it->second.id);
  }

  // Power loss. Once asked to record, the fake knows what a cut of the power
  // would keep, by what each call of the back-end stood in for promises
  // (platform.h). Names are taken to reach the disk in the order they were
  // made, as the journaling file systems the protocol relies on (ext4, NTFS)
  // log them: a cut keeps the names made durable and then none, or a first
  // few, of those made since, in order. Bytes not made durable read as those
  // last made durable (none, for a new file) or as written.
  enum class Flushes {
    // syncfs makes everything durable; a folder's fsync its names, and so
    // every name made before them; a file's fsync its bytes alone.
    kPosix,
    // Windows where the volume cannot be flushed (Wine, an unelevated run)
    // and a folder's flush is only tried: each flushed write (a copy, a
    // file's flush, a journal part) makes its bytes durable and, as NTFS
    // logs names in order, every name made before it.
    kWindows,
    // The same where an administrator's run flushes the volume: the copies
    // are left to that one flush, not flushed each on its own.
    kWindowsVolume,
    // The copies left so, and then the volume's flush refused: the commit
    // flushes each file instead.
    kWindowsVolumeRefused,
  };
  // From now on: what is there now is durable, and later calls are recorded.
  void RecordDurability(Flushes flushes) {
    flushes_ = flushes;
    volume_flush = flushes == Flushes::kPosix || flushes == Flushes::kWindowsVolume;
    copies_durable = flushes == Flushes::kWindows;
    durable_names_ = Names{nodes_, order_, {}};
    pending_.clear();
    durable_bytes_ = bytes_;
  }
  // How many names made are not durable: a cut keeps none to all of them.
  size_t NamesNotDurable() const { return pending_.size(); }
  // The files, by id, at the names a cut keeping `kept` of those leaves
  // whose bytes are not durable.
  std::vector<int> BytesNotDurable(size_t kept) const {
    std::vector<int> ids;
    for (const auto& [path, node] : NamesKept(kept).nodes) {
      const auto durable = durable_bytes_.find(node.id);
      if (!node.folder && (durable == durable_bytes_.end() || durable->second != BytesOf(node.id)) &&
          std::find(ids.begin(), ids.end(), node.id) == ids.end()) {
        ids.push_back(node.id);
      }
    }
    return ids;
  }
  // Cuts the power, keeping `kept` of the names not durable; of the files
  // whose bytes are not durable, those in `written` read as written. What
  // is left is all durable, and no lock is held.
  void CutPower(size_t kept, const std::set<int>& written) {
    const Names names = NamesKept(kept);
    std::map<int, std::string> bytes;
    for (const auto& [path, node] : names.nodes) {
      const auto durable = durable_bytes_.find(node.id);
      if (!node.folder) {
        bytes[node.id] = written.count(node.id) != 0 ? BytesOf(node.id)
                         : durable != durable_bytes_.end() ? durable->second
                                                           : std::string();
      }
    }
    nodes_ = names.nodes;
    order_ = names.order;
    bytes_ = std::move(bytes);
    locked.clear();
    RecordDurability(*flushes_);
  }
  // Counts the changes to what a cut would keep: two moments with the same
  // count leave the same states.
  int changes() const { return changes_; }
  // Every path, in creation order.
  std::vector<std::wstring> Paths() const { return order_; }
  bool IsFolder(const std::wstring& path) const {
    const auto it = nodes_.find(path);
    return it != nodes_.end() && it->second.folder;
  }

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
    Called(L"probe " + path);
    if (linked.count(path)) return PathKind::kLink;
    if (Fails(path, L"probe")) return PathKind::kError;
    if (special.count(path)) return PathKind::kOther;
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
    Called(L"move " + from + L" -> " + to);
    if (const FileStatus busy_now = Busy(from, L"move"); !busy_now.ok()) return busy_now;
    if (Fails(from, L"move")) return FileStatus(FileResult::kFailed, 5);
    if (!Has(from)) return FileResult::kMissing;
    if (Has(to)) return FileResult::kTargetExists;
    Node node = nodes_.at(from);
    Erase(from);
    Put(to, node);
    NameMade(from, to);
    return FileResult::kOk;
  }
  FileStatus CopyNew(const std::wstring& from, const std::wstring& to,
                     Sha256Digest* digest) override {
    Called(L"copy " + from + L" -> " + to);
    for (const auto& [path, content] : taken_at_copy) {
      Erase(path);
      Put(path, Node{false, false, NewFile(content)});
    }
    taken_at_copy.clear();
    if (Has(to)) return FileResult::kTargetExists;
    if (shown_as_files.count(from) != 0) return FileStatus(FileResult::kLeadsOut, 1921);
    if (Fails(from, L"copy")) {
      // A copy that breaks off midway leaves part of the file behind.
      if (partial_copies) {
        Put(to, Node{false, false, NewFile("partial")});
        NameMade(to);
      }
      return FileStatus(FileResult::kFailed, 5);
    }
    auto it = nodes_.find(from);
    if (it == nodes_.end() || it->second.folder) return FileResult::kFailed;
    const int id = NewFile(BytesOf(it->second.id));
    Put(to, Node{false, false, id});
    NameMade(to);
    // Made durable before it returns, where copies are.
    if (copies_durable) WriteFlushed(id);
    if (digest == nullptr) return FileResult::kOk;
    Sha256 hash;
    hash.Update(bytes_[id].data(), bytes_[id].size());
    return hash.Finish(digest) ? FileStatus() : FileStatus(FileResult::kFailed, 5);
  }
  FileStatus Remove(const std::wstring& path) override {
    Called(L"remove " + path);
    if (const FileStatus busy_now = Busy(path, L"remove"); !busy_now.ok()) return busy_now;
    if (Fails(path, L"remove")) return FileResult::kFailed;
    if (!Has(path)) return FileResult::kMissing;
    if (nodes_.at(path).folder) return FileResult::kFailed;
    Erase(path);
    NameMade(path);
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
    Called(L"link " + existing + L" -> " + name);
    if (!links_supported) return FileResult::kUnsupported;
    if (Fails(existing, L"link")) return FileStatus(FileResult::kFailed, 5);
    if (!Has(existing)) return FileResult::kMissing;
    if (Has(name)) return FileResult::kTargetExists;
    Put(name, nodes_.at(existing));
    NameMade(name);
    return FileResult::kOk;
  }
  FileStatus Replace(const std::wstring& from, const std::wstring& to) override {
    Called(L"replace " + from + L" -> " + to);
    if (const FileStatus busy_now = Busy(to, L"replace"); !busy_now.ok()) return busy_now;
    if (Fails(from, L"replace")) return FileStatus(FileResult::kFailed, 5);
    if (!Has(from)) return FileResult::kMissing;
    Node node = nodes_.at(from);
    Erase(from);
    Erase(to);
    Put(to, node);
    NameMade(from, to);
    return FileResult::kOk;
  }
  PathKind Identify(const std::wstring& path, FileIdentity* identity) override {
    const PathKind kind = Probe(path);
    if (kind == PathKind::kFile) {
      const Node& node = nodes_.at(path);
      *identity = FileIdentity{1, static_cast<uint64_t>(node.id), BytesOf(node.id).size(), 0};
    }
    return kind;
  }
  FileStatus ClearName(const std::wstring& path) override {
    if (!Has(path)) return FileResult::kMissing;
    Called(L"clear " + path);
    if (Fails(path, L"clear")) return FileStatus(FileResult::kFailed, 5);
    const std::wstring prefix = path + separator_;
    for (const std::wstring& other : order_) {
      if (other.compare(0, prefix.size(), prefix) == 0) return FileStatus(FileResult::kFailed, 145);
    }
    Erase(path);
    NameMade(path);
    return FileResult::kOk;
  }
  FileStatus CreateOwn(const std::wstring& path, std::unique_ptr<OwnFile>* file) override {
    Called(L"create " + path);
    if (Fails(path, L"create")) return FileStatus(FileResult::kFailed, 28);
    if (Has(path)) return FileResult::kTargetExists;
    Put(path, Node{false, false, NewFile("")});
    NameMade(path);
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
    Called(L"write " + path);
    if (Fails(path, L"write")) return FileStatus(FileResult::kFailed, 28);
    if (Has(path)) return FileResult::kTargetExists;
    Put(path, Node{false, false, NewFile(bytes)});
    NameMade(path);
    WriteFlushed(ids_);
    return FileResult::kOk;
  }
  FileStatus ReadWhole(const std::wstring& path, size_t limit, std::string* bytes) override {
    if (!Has(path)) return FileResult::kMissing;
    const std::string& content = BytesOf(nodes_.at(path).id);
    if (content.size() > limit) return FileStatus(FileResult::kFailed, 223);
    *bytes = content;
    return FileResult::kOk;
  }
  FileStatus HashFile(const std::wstring& path, Sha256Digest* digest) override {
    const std::wstring real = Resolve(path);
    if (Fails(path, L"hash")) return FileStatus(FileResult::kFailed, 32);
    if (shown_as_files.count(path) != 0) return FileStatus(FileResult::kLeadsOut, 1921);
    if (!Has(real) || nodes_.at(real).folder) return FileResult::kMissing;
    if (digest == nullptr) return FileStatus();
    Sha256 hash;
    const std::string& content = BytesOf(nodes_.at(real).id);
    hash.Update(content.data(), content.size());
    return hash.Finish(digest) ? FileStatus() : FileStatus(FileResult::kFailed, 5);
  }
  FileStatus FlushFolder(const std::wstring& folder) override {
    Called(L"flush " + folder);
    if (flushes_ == Flushes::kPosix) {
      std::wstring name = folder;
      while (name.size() > 1 && name.back() == separator_) name.pop_back();
      for (size_t i = pending_.size(); i-- > 0;) {
        const std::vector<std::wstring>& made_in = pending_[i].folders;
        if (std::find(made_in.begin(), made_in.end(), name) != made_in.end()) {
          NamesDurable(i + 1);
          break;
        }
      }
    }
    return FileResult::kOk;
  }
  FileStatus FlushVolume(const std::wstring& folder) override {
    Called(L"flush all " + folder);
    if (Fails(folder, L"flush")) return FileStatus(FileResult::kFailed, 5);
    if (!volume_flush) return FileStatus(FileResult::kUnsupported);
    if (flushes_) {
      NamesDurable(pending_.size());
      durable_bytes_ = bytes_;
      ++changes_;
    }
    return FileStatus();
  }
  FileStatus FlushFile(const std::wstring& path) override {
    Called(L"flush " + path);
    if (Fails(path, L"flush")) return FileStatus(FileResult::kFailed, 5);
    if (Has(path)) WriteFlushed(nodes_.at(path).id);
    return FileStatus();
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
  // Links leading out of the package that the listing shows as plain files
  // (Wine's host links to files): only an open of one tells.
  std::set<std::wstring> shown_as_files;
  // Folder entries that are no file or folder (pipes, sockets, devices),
  // as listings and looks at them tell.
  std::set<std::wstring> special;
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
  // Called with each logged call before it acts: the state then is the
  // state after the call before it.
  std::function<void(const std::wstring& call)> before_call;

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
      bytes_[nodes_.at(path).id] += ", written meanwhile";
    }
    // Anything but a file is left to the call itself to refuse. Not a look
    // of its own: tests count the plan's looks.
    const auto it = nodes_.find(path);
    if (it == nodes_.end() || it->second.folder) return true;
    return FileIdentity{1, static_cast<uint64_t>(it->second.id), BytesOf(it->second.id).size(),
                        0} == expected;
  }

  struct Node {
    bool folder;
    bool sealed;
    int id;  // one file under two names shares it, and its bytes
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
      files_->Called(L"append " + path_);
      if (files_->Fails(path_, L"append")) return FileStatus(FileResult::kFailed, 28);
      // Written to the file held, wherever its name is now (or none is).
      files_->bytes_[id_] += bytes;
      files_->WriteFlushed(id_);
      return FileResult::kOk;
    }
    FileStatus ReadWhole(size_t limit, std::string* bytes) override {
      const std::string& content = files_->bytes_[id_];
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
      files_->Called(L"rename " + path_ + L" -> " + to);
      if (files_->Fails(path_, L"rename")) return FileStatus(FileResult::kFailed, 5);
      const FileStatus named = Named();
      if (!named.ok()) return named;
      const Node node = files_->nodes_.at(path_);
      files_->Erase(path_);
      files_->Erase(to);
      files_->Put(to, node);
      files_->NameMade(path_, to);
      path_ = std::move(to);
      return FileResult::kOk;
    }
    FileStatus Remove() override {
      files_->Called(L"remove " + path_);
      if (files_->Fails(path_, L"remove")) return FileStatus(FileResult::kFailed, 5);
      const FileStatus named = Named();
      if (named.ok()) {
        files_->Erase(path_);
        files_->NameMade(path_);
      }
      return named;
    }

   private:
    // The look that a rename and a removal make of their own.
    FileStatus Named() const {
      const auto it = files_->nodes_.find(path_);
      if (it == files_->nodes_.end()) return FileResult::kMissing;
      return it->second.id == id_ ? FileStatus() : FileStatus(FileResult::kChanged);
    }
    FakeFileSystem* files_;
    std::wstring path_;
    const int id_;
  };

  void Called(std::wstring call) {
    if (before_call) before_call(call);
    log.push_back(std::move(call));
  }
  int NewFile(const std::string& bytes) {
    bytes_[++ids_] = bytes;
    return ids_;
  }
  std::string BytesOf(int id) const {
    const auto it = bytes_.find(id);
    return it == bytes_.end() ? std::string() : it->second;
  }

  // The names at one moment, and the folders whose names the last call made
  // or removed.
  struct Names {
    std::map<std::wstring, Node> nodes;
    std::vector<std::wstring> order;
    std::vector<std::wstring> folders;
  };
  const Names& NamesKept(size_t kept) const {
    return kept == 0 ? durable_names_ : pending_.at(kept - 1);
  }
  void NameMade(const std::wstring& path, const std::wstring& other = std::wstring()) {
    if (!flushes_) return;
    ++changes_;
    Names after{nodes_, order_, {}};
    for (const std::wstring* made : {&path, &other}) {
      if (!made->empty()) after.folders.push_back(made->substr(0, made->find_last_of(separator_)));
    }
    pending_.push_back(std::move(after));
  }
  void NamesDurable(size_t count) {
    if (count == 0) return;
    ++changes_;
    durable_names_ = pending_[count - 1];
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count));
  }
  void WriteFlushed(int id) {
    if (!flushes_) return;
    ++changes_;
    durable_bytes_[id] = BytesOf(id);
    if (flushes_ != Flushes::kPosix) NamesDurable(pending_.size());
  }

  int ids_ = 0;
  int changes_ = 0;
  std::map<int, std::string> bytes_;  // of each file, by id
  std::optional<Flushes> flushes_;  // recording what a power cut keeps
  Names durable_names_;
  std::vector<Names> pending_;  // the names after each call made since
  std::map<int, std::string> durable_bytes_;
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
