// Makes every file system call of a replacement fail in turn, then every pair
// of calls, on real files, and checks after each run that the installation is
// either fully updated or exactly as it was, and that no file is ever lost.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "app/kestrune_app.h"
#include "platform/posix/posix_backend.h"
#include "platform/utf.h"
#include "replace/collector.h"
#include "replace/journal.h"
#include "replace/replacer.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fakes/faulty_file_system.h"
#include "tests/posix/temp_tree.h"

namespace kestrune {
namespace {

using Files = std::map<std::string, std::string>;
using testing::FakeFileSystem;
using testing::FakeMessages;
using testing::FakePlatform;
using testing::FakeProgress;
using testing::FaultyFileSystem;
using testing::TempTree;

constexpr char kVersion[] = "1.0";

struct Layout {
  const char* name;
  Files package;
  Files installed;
};

const Layout kLayouts[] = {
    {"fresh installation",
     {{"Kestrune", "updater"}, {"Kestrune.ini", "ini"}, {"a.dll", "new a"},
      {"sub/b.dll", "new b"}, {"sub/deep/c.dll", "new c"}, {"extra.dll", "new extra"}},
     {{"a.dll", "old a"}, {"sub/b.dll", "old b"}, {"sub/deep/c.dll", "old c"},
      {"keep.dll", "untouched"}}},
    {"earlier backups",
     {{"a.dll", "new a"}, {"sub/b.dll", "new b"}, {"sub/deep/c.dll", "new c"},
      {"gone.dll", "new gone"}},
     {{"a.dll", "old a"}, {"a.dll.1.0", "older a"}, {"sub/b.dll", "old b"},
      {"sub/deep/c.dll", "old c"}, {"sub/deep/c.dll.1.0", "older c"},
      {"gone.dll.1.0", "older gone"}}},
    {"mixed",
     {{"a.dll", "new a"}, {"b.dll", "new b"}, {"data/x.dat", "new x"}, {"dir", "new dir"}},
     {{"a.dll", "old a"}, {"b.dll", "old b"}, {"b.dll.1.0", "older b"},
      {"b.dll.~kestrune", "a stranger's file"}, {"data/x.dat", "old x"},
      {"dir/inside", "a folder where the package has a file"}}},
};

struct Outcome {
  ReplaceResult result;
  size_t boxes;
  int calls;
  std::vector<std::wstring> failed;
  Files after;
};

Outcome RunWithFaults(const Layout& layout, const std::set<int>& failing, Files* before) {
  TempTree tree;
  for (const auto& [path, content] : layout.package) tree.Write("pkg/" + path, content);
  tree.MakeFolder("inst");
  for (const auto& [path, content] : layout.installed) tree.Write("inst/" + path, content);
  *before = tree.Snapshot("inst");

  posix::PosixFileSystem real;
  std::vector<std::wstring> listed;
  const std::wstring package = WideFromUtf8(tree.Path("pkg"));
  RunLog log;
  CollectFiles(real, L'/', package, &listed, log);
  FaultyFileSystem faulty(real, failing);
  FakeMessages messages;
  const ReplaceResult result = ReplaceFiles(
      faulty, messages,
      ReplaceInputs{package, WideFromUtf8(tree.Path("inst")), WideFromUtf8(kVersion), L'/'},
      listed, log);
  return Outcome{result, messages.boxes.size(), faulty.calls(), faulty.failed(),
                 tree.Snapshot("inst")};
}

bool IsTemporary(const std::string& path) {
  return path.find(".~kestrune") != std::string::npos;
}

// Every installed file keeps its old content under its own name, its new
// backup name or a set-aside name; earlier backups are unchanged.
void ExpectNothingLost(const Files& before, const Files& after, const std::string& what) {
  for (const auto& [path, content] : before) {
    if (content == "/") continue;
    const bool is_old_backup = path.size() > 4 && path.compare(path.size() - 4, 4, ".1.0") == 0;
    if (is_old_backup) {
      EXPECT_EQ(after.count(path) ? after.at(path) : "<gone>", content) << what << " " << path;
      continue;
    }
    bool kept = false;
    for (const auto& [other, other_content] : after) {
      const bool same_name = other == path;
      const bool aside = other.compare(0, path.size(), path) == 0 &&
                         (other.substr(path.size()) == std::string(".") + kVersion ||
                          IsTemporary(other.substr(path.size())));
      if ((same_name || (aside && before.count(other) == 0)) && other_content == content) {
        kept = true;
      }
    }
    EXPECT_TRUE(kept) << what << ": lost " << path;
  }
}

// The run's own journal, or its draft, stays only where its removal was
// made to fail (the next run removes it), and committed only after success.
Files WithoutOwnStateLeft(const Outcome& outcome, bool committed, const std::string& what) {
  Files after = outcome.after;
  for (const std::string name : {"Kestrune.journal", "Kestrune.journal.new"}) {
    const auto left = after.find(name);
    if (left == after.end()) continue;
    const std::wstring tail = WideFromUtf8("/" + name);
    const bool removal_failed =
        std::any_of(outcome.failed.begin(), outcome.failed.end(), [&](const std::wstring& call) {
          return call.rfind(L"remove ", 0) == 0 && call.size() > tail.size() &&
                 call.compare(call.size() - tail.size(), tail.size(), tail) == 0;
        });
    EXPECT_TRUE(removal_failed) << what << ": left " << name;
    const std::string commit = kJournalCommit;
    const std::string& bytes = left->second;
    EXPECT_EQ(bytes.size() >= commit.size() &&
                  bytes.compare(bytes.size() - commit.size(), commit.size(), commit) == 0,
              committed)
        << what << ": " << name;
    after.erase(left);
  }
  return after;
}

void Check(const Files& success, const Files& before,
           const Outcome& outcome, size_t fault_count, const std::string& what) {
  switch (outcome.result) {
    case ReplaceResult::kDone: {
      EXPECT_EQ(outcome.boxes, 0u) << what;
      // The one fault a finished update absorbs: a set-aside file that could
      // not be dropped, or not be known to be dropped safely, stays beside
      // it with the old content of its file.
      Files expected = success;
      for (const auto& [path, content] : outcome.after) {
        if (IsTemporary(path) && before.count(path) == 0) {
          EXPECT_EQ(content, before.at(path.substr(0, path.find(".~kestrune")))) << what;
          expected[path] = content;
        }
      }
      EXPECT_EQ(WithoutOwnStateLeft(outcome, true, what), expected) << what;
      break;
    }
    case ReplaceResult::kFailedUndone:
      EXPECT_EQ(outcome.boxes, 1u) << what;
      EXPECT_EQ(WithoutOwnStateLeft(outcome, false, what), before) << what;
      break;
    case ReplaceResult::kFailedUndoIncomplete:
      EXPECT_EQ(outcome.boxes, 1u) << what;
      EXPECT_GE(fault_count, 2u) << what << ": one fault left the undo incomplete";
      ExpectNothingLost(before, outcome.after, what);
      break;
    case ReplaceResult::kPackageChanged:
      ADD_FAILURE() << what << ": no list of hashes, yet a changed file";
      break;
    case ReplaceResult::kCancelled:
      ADD_FAILURE() << what << ": no one cancelled";
      break;
    case ReplaceResult::kNothingToTakeBack:
      ADD_FAILURE() << what << ": an update is no rollback";
      break;
  }
}

TEST(FaultInjectionTest, EveryFailingCallAndPairOfCallsLeavesNoFileLost) {
  int runs = 0;
  for (const Layout& layout : kLayouts) {
    Files before;
    const Outcome clean = RunWithFaults(layout, {}, &before);
    ASSERT_EQ(clean.result, ReplaceResult::kDone) << layout.name;
    const Files success = clean.after;
    for (const auto& [path, content] : layout.package) {
      if (path.find("Kestrune") == std::string::npos && layout.installed.count(path)) {
        EXPECT_EQ(success.at(path), content) << layout.name << " " << path;
      }
    }
    for (const auto& [path, content] : success) {
      EXPECT_FALSE(IsTemporary(path) && before.count(path) == 0)
          << layout.name << " left " << path;
    }

    for (int first = 1; first <= clean.calls; ++first) {
      const Outcome single = RunWithFaults(layout, {first}, &before);
      ++runs;
      Check(success, before, single, 1,
            std::string(layout.name) + " fault " + std::to_string(first));
      for (int second = first + 1; second <= single.calls; ++second) {
        const Outcome pair = RunWithFaults(layout, {first, second}, &before);
        ++runs;
        Check(success, before, pair, 2,
              std::string(layout.name) + " faults " + std::to_string(first) + "," +
                  std::to_string(second));
      }
    }
  }
  std::cout << "[ faults   ] " << runs << " runs with injected faults\n";
  ::testing::Test::RecordProperty("fault_runs", runs);
  EXPECT_GT(runs, 120);
}

// The version library of these runs reports what its file holds, so that
// a run after a finished update meets the new version, as a real one would.
class FileVersionLibrary : public VersionLibrary {
 public:
  Outcome CallVersionEntry(const std::wstring& path, uint8_t* buffer, int32_t size,
                           int32_t, std::wstring*) override {
    std::ifstream in(Utf8FromWide(path), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    text.resize(std::min<size_t>(text.size(), static_cast<size_t>(size)));
    std::memcpy(buffer, text.data(), text.size());
    return Outcome::kCalled;
  }
};

// A whole run over real files, its file calls going through `files`; with
// `seen`, what a person would have seen of its progress.
ExitStatus WholeRun(TempTree& tree, FileSystem& files, FakeProgress* seen = nullptr,
                    std::vector<std::wstring> arguments = {}) {
  FakePlatform fake(L'/');
  fake.environment.arguments = std::move(arguments);
  fake.environment.module_path = WideFromUtf8(tree.Path("pkg/Kestrune"));
  fake.profile.Set(L"ProductName", L"VORDA");
  fake.profile.Set(L"ProductVERNUM", WideFromUtf8(kVersion));
  fake.profile.Set(L"ProductCoreGUID", L"{G}");
  fake.registry.SetText(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{G}",
                        L"InstallLocation", WideFromUtf8(tree.Path("inst")));
  FileVersionLibrary library;
  Platform platform{L'/',       fake.environment, fake.profile, fake.registry, library,
                    fake.processes, files,        fake.messages, fake.progress};
  CKestruneApp app(platform);
  app.InitInstance();
  if (seen != nullptr) *seen = fake.progress;
  return app.exit_status();
}

// Lays the layout out with a version library the package replaces.
void LayOut(const Layout& layout, TempTree& tree) {
  for (const auto& [path, content] : layout.package) tree.Write("pkg/" + path, content);
  tree.Write("pkg/VoUInfo.dll", "2.0");
  tree.MakeFolder("inst");
  for (const auto& [path, content] : layout.installed) tree.Write("inst/" + path, content);
  tree.Write("inst/VoUInfo.dll", kVersion);
}

TEST(FaultInjectionTest, AStopAtAnyCallIsMadeGoodByTheNextRun) {
  int stops = 0;
  for (const Layout& layout : kLayouts) {
    TempTree clean;
    LayOut(layout, clean);
    const Files before = clean.Snapshot("inst");
    posix::PosixFileSystem real;
    FaultyFileSystem counting(real, {});
    ASSERT_EQ(WholeRun(clean, counting), ExitStatus::kCompleted) << layout.name;
    const Files success = clean.Snapshot("inst");
    // A failure late in the update, to stop during its undo as well.
    const int last_copy = counting.last_call_of(L"copy");

    for (int failing : {0, last_copy}) {
      for (int stop = 1; stop <= counting.calls() + 1; ++stop) {
        const std::string what = std::string(layout.name) + " stop " + std::to_string(stop) +
                                 (failing ? " after failure " + std::to_string(failing) : "");
        for (bool rerun_fails : {false, true}) {
          TempTree tree;
          LayOut(layout, tree);
          FaultyFileSystem stopped(real, failing ? std::set<int>{failing} : std::set<int>{},
                                   stop);
          WholeRun(tree, stopped);
          ++stops;
          FaultyFileSystem next(real, {});
          if (rerun_fails) next.FailCopiesTo(L"b.dll");
          const ExitStatus status = WholeRun(tree, next);
          const Files after = tree.Snapshot("inst");
          if (status == ExitStatus::kCompleted || status == ExitStatus::kWrongVersion) {
            // Finished now, or already past its commit point the first time.
            EXPECT_EQ(after, success) << what;
            EXPECT_TRUE(!rerun_fails || status == ExitStatus::kWrongVersion) << what;
          } else {
            EXPECT_TRUE(rerun_fails) << what << ": status " << static_cast<int>(status);
            EXPECT_EQ(status, ExitStatus::kCopyFailedUndone) << what;
            EXPECT_EQ(after, before) << what;
          }
        }
      }
    }

    // One more kind: a rollback of the finished update, stopped at every
    // call. The next run leaves the installation wholly updated or wholly
    // rolled back: a rollback then finishes it, an update finds it updated.
    const std::vector<std::wstring> rollback = {L"--rollback"};
    FaultyFileSystem counting_back(real, {});
    ASSERT_EQ(WholeRun(clean, counting_back, nullptr, rollback), ExitStatus::kCompleted);
    // Each packaged file's backup back at its name (an earlier backup's
    // bytes, where the update kept one), and the backup gone.
    Files rolled = success;
    for (const auto& [path, content] : success) {
      const auto backup = success.find(path + "." + kVersion);
      if (backup == success.end() || (!layout.package.count(path) && path != "VoUInfo.dll")) continue;
      rolled[path] = backup->second;
      rolled.erase(backup->first);
    }
    EXPECT_EQ(clean.Snapshot("inst"), rolled) << layout.name << ": rolled back";
    for (int stop = 1; stop <= counting_back.calls() + 1; ++stop) {
      for (bool again_rollback : {true, false}) {
        const std::string what = std::string(layout.name) + " rollback stop " +
                                 std::to_string(stop) + (again_rollback ? ", rolled back" : "");
        TempTree tree;
        LayOut(layout, tree);
        FaultyFileSystem update(real, {});
        ASSERT_EQ(WholeRun(tree, update), ExitStatus::kCompleted) << what;
        FaultyFileSystem stopped(real, {}, stop);
        WholeRun(tree, stopped, nullptr, rollback);
        ++stops;
        FaultyFileSystem next(real, {});
        const ExitStatus status = WholeRun(tree, next, nullptr, again_rollback ? rollback
                                                                               : std::vector<std::wstring>{});
        EXPECT_EQ(tree.Snapshot("inst"), again_rollback ? rolled : success) << what;
        EXPECT_TRUE(status == ExitStatus::kCompleted ||
                    (!again_rollback && status == ExitStatus::kWrongVersion))
            << what << ": status " << static_cast<int>(status);
      }
    }
  }
  std::cout << "[ stops    ] " << stops << " runs stopped at every call, each run again\n";
  EXPECT_GT(stops, 200);
}

TEST(FaultInjectionTest, ARecoveryThatCannotUndoKeepsItsJournalForTheNextRun) {
  const Layout& layout = kLayouts[0];
  posix::PosixFileSystem real;
  TempTree clean;
  LayOut(layout, clean);
  const Files before = clean.Snapshot("inst");
  FaultyFileSystem counting(real, {});
  ASSERT_EQ(WholeRun(clean, counting), ExitStatus::kCompleted);
  const Files success = clean.Snapshot("inst");

  // Stopped at its commit: every file is new, and the journal says undo.
  TempTree tree;
  LayOut(layout, tree);
  FaultyFileSystem stopped(real, {}, counting.last_call_of(L"append"));
  WholeRun(tree, stopped);
  // The undo's moves back over the new files fail: nothing may be lost,
  // and the journal stays for the next run.
  FaultyFileSystem failing(real, {});
  failing.FailEvery(L"replace");
  FakeProgress seen;
  EXPECT_EQ(WholeRun(tree, failing, &seen), ExitStatus::kCopyFailedUndoIncomplete);
  // A person watched each of its four steps go by, though none succeeded.
  EXPECT_EQ(seen.furthest[L"Restoring the interrupted update of VORDA+"], 4u);
  EXPECT_TRUE(tree.Snapshot("inst").count("Kestrune.journal"));
  for (const auto& [path, content] : before) {
    bool kept = false;
    for (const auto& [now, bytes] : tree.Snapshot("inst")) kept = kept || bytes == content;
    EXPECT_TRUE(kept) << path;
  }
  // A third, clean run finishes the undo and then the update.
  FaultyFileSystem next(real, {});
  EXPECT_EQ(WholeRun(tree, next), ExitStatus::kCompleted);
  EXPECT_EQ(tree.Snapshot("inst"), success);
}

// Power cuts, over the file system in memory that knows what a cut keeps:
// an update of ten files (one beside an earlier backup, so set aside), in
// the installation's top folder and two below it.
const Layout kTenFiles{
    "ten files",
    {{"Kestrune", "updater"}, {"Kestrune.ini", "ini"}, {"VoUInfo.dll", "2.0"},
     {"a.dll", "new a"}, {"b.dll", "new b"}, {"c.dll", "new c"}, {"d.dat", "new d"},
     {"e.exe", "new e"}, {"sub/f.dll", "new f"}, {"sub/g.dll", "new g"},
     {"sub/deep/h.dll", "new h"}, {"sub/deep/i.dll", "new i"}},
    {{"VoUInfo.dll", kVersion}, {"a.dll", "old a"}, {"b.dll", "old b"}, {"b.dll.1.0", "older b"},
     {"c.dll", "old c"}, {"d.dat", "old d"}, {"e.exe", "old e"}, {"sub/f.dll", "old f"},
     {"sub/g.dll", "old g"}, {"sub/deep/h.dll", "old h"}, {"sub/deep/i.dll", "old i"},
     {"keep.txt", "untouched"}}};

void PutInMemory(FakeFileSystem& files, const std::string& path, const std::string& content) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    if (!files.Has(WideFromUtf8(path.substr(0, slash)))) {
      files.AddFolder(WideFromUtf8(path.substr(0, slash)));
    }
  }
  files.AddFile(WideFromUtf8(path), content);
}

Files InMemory(const FakeFileSystem& files) {
  Files snapshot;
  for (const std::wstring& path : files.Paths()) {
    if (path.rfind(L"/inst/", 0) == 0 && !files.IsFolder(path)) {
      snapshot[Utf8FromWide(path.substr(6))] = files.Content(path);
    }
  }
  return snapshot;
}

// Reports the version its file in memory holds.
class MemoryVersionLibrary : public VersionLibrary {
 public:
  explicit MemoryVersionLibrary(FakeFileSystem& files) : files_(files) {}
  Outcome CallVersionEntry(const std::wstring& path, uint8_t* buffer, int32_t size, int32_t,
                           std::wstring*) override {
    std::string text = files_.Content(path);
    text.resize(std::min<size_t>(text.size(), static_cast<size_t>(size)));
    std::memcpy(buffer, text.data(), text.size());
    return Outcome::kCalled;
  }

 private:
  FakeFileSystem& files_;
};

ExitStatus MemoryRun(FakeFileSystem& files, const std::vector<std::wstring>& arguments = {}) {
  FakePlatform fake(L'/');
  fake.environment.module_path = L"/pkg/Kestrune";
  fake.environment.arguments.insert(fake.environment.arguments.end(), arguments.begin(),
                                    arguments.end());
  fake.profile.Set(L"ProductName", L"VORDA");
  fake.profile.Set(L"ProductVERNUM", WideFromUtf8(kVersion));
  fake.profile.Set(L"ProductCoreGUID", L"{G}");
  fake.registry.SetText(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{G}",
                        L"InstallLocation", L"/inst");
  MemoryVersionLibrary library(files);
  Platform platform{L'/',       fake.environment, fake.profile, fake.registry, library,
                    fake.processes, files,        fake.messages, fake.progress};
  CKestruneApp app(platform);
  app.InitInstance();
  return app.exit_status();
}

// Whether every installed file with a packaged counterpart holds what it
// holds in `target`.
bool Reached(const Files& state, const Files& target, std::string* wrong) {
  for (const auto& [path, content] : kTenFiles.installed) {
    if (kTenFiles.package.count(path) == 0) continue;
    const auto now = state.find(path);
    if (now == state.end() || now->second != target.at(path)) {
      *wrong = path + " holds " + (now == state.end() ? "nothing" : "'" + now->second + "'");
      return false;
    }
  }
  return true;
}

TEST(FaultInjectionTest, APowerCutAfterAnyCallIsMadeGoodByTheNextRun) {
  using Flushes = FakeFileSystem::Flushes;
  // Where the run starts: as laid out, or as a cut left an update before or
  // after its commit, for a recovery to take back or finish.
  // Or, for a rollback, as a finished update left it.
  enum class Start { kLaidOut, kFailingCopy, kBeforeCommit, kAfterCommit, kUpdated };
  struct Row {
    const char* what;
    Flushes flushes;
    Start start;
    ExitStatus status;
  };
  const Row rows[] = {
      {"POSIX update", Flushes::kPosix, Start::kLaidOut, ExitStatus::kCompleted},
      {"POSIX undo", Flushes::kPosix, Start::kFailingCopy, ExitStatus::kCopyFailedUndone},
      {"POSIX recovery, undoing", Flushes::kPosix, Start::kBeforeCommit, ExitStatus::kCompleted},
      {"POSIX recovery, finishing", Flushes::kPosix, Start::kAfterCommit,
       ExitStatus::kWrongVersion},
      {"Windows update", Flushes::kWindows, Start::kLaidOut, ExitStatus::kCompleted},
      {"Windows undo", Flushes::kWindows, Start::kFailingCopy, ExitStatus::kCopyFailedUndone},
      {"Windows recovery, undoing", Flushes::kWindows, Start::kBeforeCommit,
       ExitStatus::kCompleted},
      {"Windows recovery, finishing", Flushes::kWindows, Start::kAfterCommit,
       ExitStatus::kWrongVersion},
      {"Windows update, volume flushed", Flushes::kWindowsVolume, Start::kLaidOut,
       ExitStatus::kCompleted},
      {"Windows undo, volume flushed", Flushes::kWindowsVolume, Start::kFailingCopy,
       ExitStatus::kCopyFailedUndone},
      {"Windows update, volume flush refused", Flushes::kWindowsVolumeRefused, Start::kLaidOut,
       ExitStatus::kCompleted},
      {"Windows recovery, copies left to the volume", Flushes::kWindowsVolume,
       Start::kBeforeCommit, ExitStatus::kCompleted},
      {"POSIX rollback", Flushes::kPosix, Start::kUpdated, ExitStatus::kCompleted},
      {"Windows rollback", Flushes::kWindows, Start::kUpdated, ExitStatus::kCompleted},
  };
  FakeFileSystem laid_out(L'/');
  for (const auto& [path, content] : kTenFiles.package) PutInMemory(laid_out, "/pkg/" + path, content);
  for (const auto& [path, content] : kTenFiles.installed) {
    PutInMemory(laid_out, "/inst/" + path, content);
  }
  const Files before = InMemory(laid_out);
  FakeFileSystem clean = laid_out;
  ASSERT_EQ(MemoryRun(clean), ExitStatus::kCompleted);
  const Files success = InMemory(clean);
  // A rollback, and every run after a cut of one, must reach what a whole
  // rollback of the finished update leaves.
  const std::vector<std::wstring> rollback = {L"--rollback"};
  FakeFileSystem rolled = clean;
  ASSERT_EQ(MemoryRun(rolled, rollback), ExitStatus::kCompleted);
  const Files rolled_back = InMemory(rolled);

  std::map<std::string, int> cuts;
  for (const Row& row : rows) {
    const bool rolling = row.start == Start::kUpdated;
    const std::vector<std::wstring> arguments = rolling ? rollback : std::vector<std::wstring>();
    const Files& target = rolling ? rolled_back : success;
    std::optional<FakeFileSystem> start(rolling ? clean : laid_out);
    if (row.start == Start::kBeforeCommit || row.start == Start::kAfterCommit) {
      // Stopped with every name and byte on the disk, just before the
      // commit line is written or just after.
      FakeFileSystem update = laid_out;
      update.RecordDurability(row.flushes);
      int appends = 0;
      bool taken = false;
      update.before_call = [&](const std::wstring& call) {
        if (taken) return;
        if (appends == (row.start == Start::kBeforeCommit ? 1 : 2)) {
          start.emplace(update);
          start->before_call = nullptr;
          taken = true;
        }
        if (call.rfind(L"append ", 0) == 0) ++appends;
      };
      MemoryRun(update);
      ASSERT_TRUE(taken) << row.what;
      start->CutPower(start->NamesNotDurable(), std::set<int>());
    }
    FakeFileSystem run = *start;
    if (row.start == Start::kFailingCopy) run.FailWhen(L"copy", L"/pkg/sub/deep/i.dll");
    // The states a cut after each call would choose from.
    run.RecordDurability(row.flushes);
    std::vector<FakeFileSystem> states;
    int seen = -1;
    run.before_call = [&](const std::wstring&) {
      if (run.changes() == seen) return;
      seen = run.changes();
      states.push_back(run);
      states.back().before_call = nullptr;
    };
    const ExitStatus status = MemoryRun(run, arguments);
    EXPECT_EQ(status, row.status) << row.what;
    run.before_call = nullptr;
    states.push_back(run);
    // What the run reported is on the disk by the time it ends.
    std::string wrong;
    FakeFileSystem ended = run;
    ended.CutPower(0, std::set<int>());
    EXPECT_TRUE(Reached(InMemory(ended),
                        status != ExitStatus::kCopyFailedUndone ? target
                        : rolling                               ? success
                                                                : before,
                        &wrong))
        << row.what << ": reported " << static_cast<int>(status) << ", yet after a cut " << wrong;

    for (size_t at = 0; at < states.size(); ++at) {
      for (size_t kept = 0; kept <= states[at].NamesNotDurable(); ++kept) {
        const std::vector<int> unflushed = states[at].BytesNotDurable(kept);
        for (const bool written : {false, true}) {
          if (written && unflushed.empty()) continue;
          FakeFileSystem cut = states[at];
          cut.failures.clear();
          cut.CutPower(kept, written ? std::set<int>(unflushed.begin(), unflushed.end())
                                     : std::set<int>());
          const Files left = InMemory(cut);
          const ExitStatus next = MemoryRun(cut, arguments);
          ++cuts[row.what];
          const std::string what = std::string(row.what) + " cut " + std::to_string(at) +
                                   " keeping " + std::to_string(kept) + " names" +
                                   (written ? ", every byte" : "");
          EXPECT_TRUE(next == ExitStatus::kCompleted || next == ExitStatus::kWrongVersion)
              << what << ": status " << static_cast<int>(next);
          EXPECT_EQ(InMemory(cut), target) << what;
          // Until every file is new, each old one is under some name (then
          // a file set aside beside an earlier backup goes, as it should).
          if (!Reached(left, target, &wrong)) ExpectNothingLost(rolling ? success : before, left, what);
        }
      }
    }
  }
  for (const auto& [what, count] : cuts) {
    std::cout << "[ power    ] " << what << ": " << count << " cut states\n";
  }
  EXPECT_GT(cuts["POSIX update"], 100);
}

}  // namespace
}  // namespace kestrune
