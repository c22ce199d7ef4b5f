#include "replace/replacer.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>

#include "platform/text.h"
#include "replace/journal.h"
#include "replace/recovery.h"
#include "replace/replace_step.h"
#include "run/messages.h"
#include "run/names.h"

namespace kestrune {
namespace {

constexpr int kNameTries = 100;
constexpr size_t kListingsKept = 8;
// A long journal is written a part this size at a time, each part then
// flushed; with room for a line past it.
constexpr size_t kJournalPart = size_t{1} << 20;
constexpr size_t kJournalLine = size_t{16} << 10;

// The names in one installation folder, sorted.
struct NameSet {
  std::wstring folder;
  bool complete = false;
  std::vector<std::wstring> names;
  bool Has(const std::wstring& name) const {
    return std::binary_search(names.begin(), names.end(), name);
  }
};

// A planned replacement: which listed file, and the numbers of its names.
// Names are rebuilt when needed, so that a long update holds little more
// than its file list in memory.
struct Planned {
  uint32_t listed_index;
  int32_t aside;
  FileIdentity installed;  // what the undo may move back, and nothing else
};

// Both trees' folder for one relative folder, held while its files are
// planned or replaced; each opened when first asked for.
struct HeldFolders {
  uint32_t folder = 0;
  std::unique_ptr<Folder> package;
  std::unique_ptr<Folder> installation;
};

class Replacement {
 public:
  Replacement(FileSystem& files, const ReplaceInputs& inputs,
              const FileList& listed, RunLog& log)
      : files_(files), inputs_(inputs), listed_(listed), log_(log),
        backup_suffix_(L"." + inputs.product_vernum),
        journal_(JoinPath(inputs.install_folder, kJournalName, inputs.separator)) {}

  std::wstring Relative(size_t index) const {
    std::wstring relative;
    RelativeInto(index, &relative);
    return relative;
  }
  // As RelativePathOf, into a buffer that is used again.
  void RelativeInto(size_t index, std::wstring* relative) const {
    relative->assign(listed_.FolderPrefix(listed_.Folder(index))).append(listed_.Name(index));
    const std::wstring& package = inputs_.package_folder;
    if (relative->compare(0, package.size(), package) == 0) relative->erase(0, package.size());
  }
  StepPaths Paths(const Planned& step) const {
    const std::wstring relative = Relative(step.listed_index);
    StepPaths paths = StepNames(inputs_.install_folder + relative, step.aside, backup_suffix_,
                                inputs_.temporary_suffix);
    paths.source = inputs_.package_folder + relative;
    return paths;
  }

  // Decides every step and its names before anything changes; false when a
  // name cannot be told to be free, or a destination is not the
  // installation's own to write.
  bool Plan() {
    plan_.reserve(listed_.size());
    const std::wstring package = files_.ComparablePath(inputs_.package_folder);
    const std::wstring installation = files_.ComparablePath(inputs_.install_folder);
    if (package == installation) {
      log_.Line(L"failed: the package folder " + inputs_.package_folder +
                L" is the installation folder");
      return false;
    }
    // A package inside the installation could have its own files replaced
    // before they are read.
    const bool package_inside = IsBelowFolder(package, installation, inputs_.separator);
    // Files of one folder come together: its names and whether its path
    // carries the marker are asked once for them all.
    // No folder is numbered this high: the first file starts a folder.
    uint32_t current = std::numeric_limits<uint32_t>::max();
    bool marked = false;
    bool top = false;  // the package folder itself, where the updater lies
    const NameSet* taken = nullptr;
    for (size_t index = 0; index < listed_.size(); ++index) {
      const uint32_t folder = listed_.Folder(index);
      const std::wstring& prefix = InstallationPrefix(folder);
      if (folder != current) {
        current = folder;
        const size_t below = std::min(prefix.size(), inputs_.install_folder.size());
        marked = HoldsUpdaterMarker(std::wstring_view(prefix).substr(below), inputs_.separator);
        top = prefix.size() == inputs_.install_folder.size() + 1;
        taken = prefix.size() > 1 && IsSeparator(prefix.back(), inputs_.separator)
                    ? TakenIn(prefix.substr(0, prefix.size() - 1))
                    : nullptr;
      }
      // One buffer for every name: a copy of each would cost an allocation.
      name_.assign(listed_.Name(index));
      const std::wstring& name = name_;
      // Tested on the relative path, so that an installation folder that
      // carries the name still gets its files.
      if (marked || HoldsUpdaterMarker(name, inputs_.separator) ||
          (top && inputs_.own != nullptr && inputs_.own->IsBesideUpdater(name))) {
        PassOver(index, L"the updater's own");
        continue;
      }
      if (IsBackupName(name, inputs_.product_vernum, inputs_.separator)) {
        PassOver(index, L"named like a backup");
        continue;
      }
      if (taken != nullptr && !taken->Has(name)) {
        PassOver(index, L"no installed counterpart");
        continue;
      }
      // The one look a file needs: its identity goes into the journal.
      FileIdentity identity;
      const PathKind installed = files_.IdentifyIn(Installation(folder), name, &identity);
      if (installed == PathKind::kError) {
        log_.Line(L"failed: cannot tell whether " + prefix + name + L" exists");
        return false;
      }
      if (installed == PathKind::kMissing) {
        PassOver(index, L"no installed counterpart");
        continue;
      }
      if (installed == PathKind::kFolder) {
        PassOver(index, L"a folder is installed in its place");
        continue;
      }
      if (installed == PathKind::kOther) {
        PassOver(index, L"no plain file is installed in its place");
        continue;
      }
      if (installed == PathKind::kLink) {
        log_.Line(L"failed: " + prefix + name + L" is reached through the link " +
                  LinkOn(Relative(index)) + L", where the installation may have none");
        return false;
      }
      if (package_inside &&
          IsBelowFolder(files_.ComparablePath(prefix + name), package, inputs_.separator)) {
        log_.Line(L"failed: " + prefix + name + L" lies inside the package folder");
        return false;
      }
      if (inputs_.rollback) {
        if (!PlanTakeBack(folder, prefix, name, index, identity, taken)) return false;
        continue;
      }
      // The copy's name needs no look: its suffix is this run's.
      Planned step{static_cast<uint32_t>(index), kBackupAside, identity};
      if (!PickAside(prefix, Installation(folder), taken, name, &step.aside)) return false;
      plan_.push_back(step);
    }
    return !inputs_.rollback || RollbackDecided();
  }

  // A rollback goes ahead only when every installed counterpart can be
  // taken back, or, when none has a backup, there is nothing to do.
  bool RollbackDecided() {
    if (plan_.empty() && refused_.empty()) {
      nothing_to_take_back_ = true;
      return true;
    }
    for (const std::wstring& path : no_backup_) {
      refused_.push_back(path + L": its backup " + path + backup_suffix_ + L" is missing");
    }
    for (const std::wstring& why : refused_) log_.Line(L"failed: cannot take back " + why);
    return refused_.empty();
  }

  // The plan's steps tried, with nothing changed: whether each destination
  // could be renamed now, and whether the copies fit.
  void Check(PlanCheck* check) {
    uint64_t needed = 0;
    const auto blocked = [check](const std::wstring& what) {
      if (check->blocked++ == 0) check->first_blocked = what;
    };
    for (const Planned& step : plan_) {
      const uint32_t folder = listed_.Folder(step.listed_index);
      const std::wstring name(listed_.Name(step.listed_index));
      const Folder& here = Installation(folder);
      // What only the copy's open would tell, asked as the copy would ask it:
      // a packaged link leading out, which the run passes over.
      if (!inputs_.rollback &&
          files_.HashFile(Package(folder).PathOf(name), nullptr) == FileResult::kLeadsOut) {
        PassOver(step.listed_index, msg::kLeadsOutOfPackage);
        continue;
      }
      FileIdentity source;
      if (files_.IdentifyIn(Package(folder), name, &source) == PathKind::kFile) {
        needed += source.size;
      }
      // Where a back-end cannot tell, the run finds out at the step itself.
      const FileStatus renamable = files_.TryRenameIn(here, name);
      if (!renamable.ok() && renamable != FileResult::kUnsupported) {
        log_.Failure(L"open for a rename", here.PathOf(name), renamable);
        blocked(here.PathOf(name) + (renamable == FileResult::kInUse ? L" (in use)"
                                                                     : L" (cannot be renamed)"));
        continue;
      }
      ++check->replaced;
      if (step.aside == kBackupAside) {
        ++check->backups;
        log_.Line(L"would replace " + here.PathOf(name) + L"; the old file would be kept as " +
                  here.PathOf(name + backup_suffix_));
      } else {
        log_.Line(L"would replace " + here.PathOf(name) + L"; " + here.PathOf(name + backup_suffix_) +
                  L" exists and is kept, the old file would be set aside as " +
                  here.PathOf(SetAsideName(name, step.aside)));
      }
    }
    uint64_t free = 0;
    const FileStatus asked = files_.FreeSpace(inputs_.install_folder, &free);
    const std::wstring need = std::to_wstring(needed) + L" bytes";
    if (!asked.ok()) {
      log_.Line(L"the copies need " + need + L"; the free space of " + inputs_.install_folder +
                L" could not be told");
    } else if (free < needed) {
      log_.Line(L"failed: the copies need " + need + L", the volume of " +
                inputs_.install_folder + L" has " + std::to_wstring(free) + L" bytes free");
      blocked(inputs_.install_folder + L" (not enough space, " + need + L" needed)");
    } else {
      log_.Line(L"the copies need " + need + L"; the volume of " + inputs_.install_folder +
                L" has " + std::to_wstring(free) + L" bytes free");
    }
  }

  bool WriteJournal() {
    // Written whole under another name and renamed in, so that a stop never
    // leaves half a journal under its own name; written in parts, so that a
    // long plan's journal is never all in memory at once. Every part, the
    // rename and the commit go through the handle that made the draft: a
    // link or a pipe put at either name meanwhile receives nothing.
    // A draft that a stop left behind was removed at the start of the run.
    const std::wstring draft = JoinPath(inputs_.install_folder, kJournalDraftName,
                                        inputs_.separator);
    std::unique_ptr<OwnFile> file;
    if (!log_.Checked(files_.CreateOwn(draft, &file), L"create", draft)) return false;
    size_t total = 0;
    std::string part;
    part.reserve(kJournalPart + kJournalLine);
    part += JournalHead(backup_suffix_, inputs_.temporary_suffix, inputs_.rollback);
    const auto write_part = [&] {
      total += part.size();
      if (total > kJournalLimit) {
        log_.Line(L"failed: the journal of " + std::to_wstring(plan_.size()) +
                  L" files would be larger than a run can read back");
        return false;
      }
      const FileStatus written = file->AppendDurably(part);
      part.clear();
      return log_.Checked(written, L"write", draft);
    };
    bool written = true;
    // One entry for every step, so that its path keeps its room.
    JournalStep entry;
    for (size_t i = 0; written && i < plan_.size(); ++i) {
      const Planned& step = plan_[i];
      RelativeInto(step.listed_index, &entry.relative);
      entry.aside = step.aside;
      entry.installed = step.installed;
      if (inputs_.rollback) entry.backup = backups_[i];
      AppendJournalStep(entry, &part, inputs_.rollback);
      if (part.size() >= kJournalPart) written = write_part();
    }
    if (written) {
      AppendJournalEnd(plan_.size(), &part);
      written = write_part();
    }
    if (written) {
      const FileStatus renamed = file->Rename(kJournalName);
      if (renamed == FileResult::kChanged || renamed == FileResult::kMissing) {
        // Another file stood at the draft's name by then and took the
        // journal's: neither is the run's to remove.
        LogJournalNotOurs(journal_, log_);
        journal_lost_ = true;
        return false;
      }
      written = log_.Checked(renamed, L"rename", draft + L" over " + journal_);
    }
    journal_file_ = std::move(file);
    if (written &&
        log_.Checked(files_.FlushFolder(inputs_.install_folder), L"flush",
                     inputs_.install_folder)) {
      return true;
    }
    // A draft a full disk cut short goes, and so does a journal that was
    // renamed in but not made durable: nothing has changed yet.
    RemoveJournal();
    return false;
  }

  // Runs the plan; on failure or a cancel, `done` is how many steps may have
  // changed anything. The last look for a cancel comes after the last file,
  // before the commit.
  bool Apply(size_t* done) {
    // Reused from file to file: a step's names cost no allocation once the
    // longest has been seen.
    std::wstring text, name, source, aside, temporary, line;
    for (*done = 0; *done < plan_.size();) {
      if (Cancelled(*done)) return false;
      const Planned& step = plan_[*done];
      name.assign(listed_.Name(step.listed_index));
      const uint32_t folder = listed_.Folder(step.listed_index);
      if (inputs_.progress != nullptr) {
        inputs_.progress->Report(msg::kUpdatingProgress, *done, plan_.size(),
                                 InstallationPrefix(folder), name);
      }
      ++*done;
      if (step.aside == kBackupAside) {
        aside.assign(name).append(backup_suffix_);
      } else {
        aside = SetAsideName(name, step.aside);
      }
      temporary.assign(name).append(inputs_.temporary_suffix);
      // A rollback copies the backup back from beside the installed file.
      source.assign(name);
      if (inputs_.rollback) source.append(backup_suffix_);
      const StepIn names{inputs_.rollback ? Installation(folder) : Package(folder),
                         Installation(folder), name, source, step.installed, aside, temporary};
      const Sha256Digest* expected = nullptr;
      if (inputs_.rollback) {
        expected = &backup_digests_[*done - 1];
      } else if (inputs_.digests != nullptr) {
        const auto found = inputs_.digests->find(std::wstring(
            WithoutLeadingSeparators(Relative(step.listed_index), inputs_.separator)));
        // Every packaged file was listed, or the check would have failed;
        // one without its hash is never copied unchecked all the same.
        if (found == inputs_.digests->end()) {
          log_.Line(L"failed: " + names.package.PathOf(name) + L" has no hash in the list");
          changed_ = Relative(step.listed_index);
          return false;
        }
        expected = &found->second;
      }
      StepFailure failure = StepFailure::kBeforeAside;
      if (!DoStep(files_, names, expected, &failure, log_)) {
        if (failure == StepFailure::kLeadsOut) {
          // Only the copy's open of the packaged file told: the step moved
          // nothing, and its journal entry finds the installed file where
          // it was, whatever becomes of the run.
          PassOver(step.listed_index, msg::kLeadsOutOfPackage);
          passed_over_.push_back(*done - 1);
          continue;
        }
        if (failure == StepFailure::kPackageChanged) changed_ = Relative(step.listed_index);
        // What the disk cannot show the undo: the step moved nothing, while
        // what stands at its name may not be the file planned (one written
        // since, or a link only the step's open revealed).
        untouched_last_ = failure != StepFailure::kAfterAside;
        return false;
      }
      if (log_.enabled()) {
        const std::wstring& prefix = names.installation.prefix();
        if (inputs_.rollback) {
          line.assign(L"took back ").append(prefix).append(name);
          line.append(L": it holds its backup's bytes again; the update's file is now ");
        } else {
          line.assign(L"replaced ").append(prefix).append(name);
          line.append(L"; the old file is now ");
        }
        line.append(prefix).append(names.aside);
        log_.Line(line);
      }
    }
    return !Cancelled(*done);
  }

  // Whether a person has cancelled, before the file after the first `done`;
  // logged the first time it is seen.
  bool Cancelled(size_t done) {
    if (!cancelled_ && inputs_.progress != nullptr && inputs_.progress->CancelRequested()) {
      cancelled_ = true;
      log_.Line(L"cancelled by the user after " + std::to_wstring(done) + L" of " +
                std::to_wstring(plan_.size()) + L" files");
    }
    return cancelled_;
  }
  bool cancelled() const { return cancelled_; }
  // From the commit point on, and through an undo, the run must finish.
  void AllowCancel(bool allowed) {
    if (inputs_.progress != nullptr) inputs_.progress->AllowCancel(allowed);
  }

  // The new files durable first, then the commit point, then what the update
  // no longer needs. A stop after the commit keeps the update.
  bool Commit() {
    const FileStatus flushed = files_.FlushVolume(inputs_.install_folder);
    if (flushed != FileResult::kUnsupported) {
      if (!log_.Checked(flushed, L"flush", inputs_.install_folder)) return false;
    } else if (!files_.CopiesDurable()) {
      for (size_t i = 0; i < plan_.size(); ++i) {
        if (PassedOver(i)) continue;
        const std::wstring destination = Paths(plan_[i]).destination;
        if (!log_.Checked(files_.FlushFile(destination), L"flush", destination)) return false;
      }
    }
    // A journal name that no longer holds the run's journal would give a
    // stop after the commit nothing to finish from; and what stands there
    // instead (another file linked in, a pipe) is never written to.
    const FileStatus named = journal_file_->StillNamed();
    if (named == FileResult::kChanged || named == FileResult::kMissing) {
      LogJournalNotOurs(journal_, log_);
      journal_lost_ = true;
      return false;
    }
    return log_.Checked(named, L"look at", journal_) &&
           log_.Checked(journal_file_->AppendDurably(kJournalCommit), L"write", journal_);
  }

  void DropSetAsides() {
    for (size_t i = 0; i < plan_.size(); ++i) {
      const Planned& step = plan_[i];
      if (step.aside == kBackupAside || PassedOver(i)) continue;
      if (DropSetAside(files_, Paths(step), step.installed, log_)) ++log_.tally().set_asides_removed;
    }
  }

  // A rollback's backups, once it has committed: their bytes are back at
  // their names, and the next update makes them again.
  void DropBackups() {
    if (!inputs_.rollback) return;
    for (size_t i = 0; i < plan_.size(); ++i) {
      if (DropBackup(files_, Paths(plan_[i]).backup, backups_[i], log_)) {
        ++log_.tally().backups_removed;
      }
    }
  }

  // Counted once the update is kept: one undone changed nothing.
  void TallyKept() {
    RunTally& tally = log_.tally();
    for (size_t i = 0; i < plan_.size(); ++i) {
      if (PassedOver(i)) continue;
      ++tally.replaced;
      ++(plan_[i].aside == kBackupAside ? tally.backups_made : tally.backups_kept);
    }
  }

  bool UndoNewestFirst(size_t done) {
    Report(msg::kUndoingProgress, 0, done);
    files_.WaitForAccessDenied(true);
    const bool complete = UndoSteps(
        files_, inputs_.install_folder, done,
        [this, done](size_t i) {
          return UndoItem{Paths(plan_[i]), plan_[i].installed, untouched_last_ && i + 1 == done};
        },
        log_, inputs_.progress, msg::kUndoingProgress);
    files_.WaitForAccessDenied(false);
    return complete;
  }

  // Only what is still the run's own journal goes.
  bool RemoveJournal() {
    if (!journal_file_) return !journal_lost_;
    const FileStatus removed = RemoveOwnJournal(*journal_file_, log_);
    journal_file_.reset();
    journal_lost_ = journal_lost_ || removed == FileResult::kChanged;
    if (!removed.ok()) return false;
    files_.FlushFolder(inputs_.install_folder);
    return !journal_lost_;
  }
  // The journal's name was found holding something else: the run cannot
  // leave the installation in a state the next run understands by itself.
  bool journal_lost() const { return journal_lost_; }

  bool empty() const { return plan_.empty(); }
  bool nothing_to_take_back() const { return nothing_to_take_back_; }
  // The packaged file, as the walk spells it, that differed from its hash
  // when copied; "" when none did.
  std::wstring changed() const {
    return std::wstring(WithoutLeadingSeparators(changed_, inputs_.separator));
  }

 private:
  // One installed counterpart of a rollback: its bytes must be the
  // package's and its backup must be there; the backup's bytes go back,
  // checked by their hash as they are copied. A failure is noted, and the
  // rollback refused once every file has been looked at.
  bool PlanTakeBack(uint32_t folder, const std::wstring& prefix, const std::wstring& name,
                    size_t index, const FileIdentity& installed, const NameSet* taken) {
    const std::wstring path = prefix + name;
    const Folder& here = Installation(folder);
    Planned step{static_cast<uint32_t>(index), kBackupAside, installed};
    FileIdentity kept_identity;
    const PathKind backup = files_.IdentifyIn(here, name + backup_suffix_, &kept_identity);
    if (backup == PathKind::kMissing) {
      no_backup_.push_back(path);
      return true;
    }
    if (backup != PathKind::kFile) {
      refused_.push_back(path + L": its backup " + path + backup_suffix_ + L" is not a plain file");
      return true;
    }
    // From the package's list where it has one, checked already.
    Sha256Digest packaged{};
    FileStatus hashed;
    const auto* digests = inputs_.digests;
    const auto listed = digests != nullptr ? digests->find(std::wstring(WithoutLeadingSeparators(
                                                 Relative(index), inputs_.separator)))
                                           : decltype(digests->end())();
    if (digests != nullptr && listed != digests->end()) {
      packaged = listed->second;
    } else {
      hashed = files_.HashFile(listed_.Path(index), &packaged);
      if (hashed == FileResult::kLeadsOut) {
        PassOver(index, msg::kLeadsOutOfPackage);
        return true;
      }
    }
    Sha256Digest now{};
    Sha256Digest kept{};
    if (hashed.ok()) hashed = files_.HashFile(path, &now);
    if (hashed.ok()) hashed = files_.HashFile(path + backup_suffix_, &kept);
    if (!hashed.ok()) {
      log_.Failure(L"read", path, hashed);
      refused_.push_back(path + L": it or its backup cannot be read");
      return true;
    }
    if (now != packaged) {
      refused_.push_back(path + L": it does not hold the package's bytes (changed since the "
                                L"update, or never updated)");
      return true;
    }
    // The backup name is taken: the update's file is set aside, and the
    // copy of the backup renamed in over the installed name.
    if (!PickAside(prefix, here, taken, name, &step.aside)) return false;
    plan_.push_back(step);
    backups_.push_back(kept_identity);
    backup_digests_.push_back(kept);
    return true;
  }

  // The first part of the installation on the way to `relative` that is a
  // link, for the log.
  std::wstring LinkOn(const std::wstring& relative) {
    for (size_t end = 1; end <= relative.size(); ++end) {
      if (end < relative.size() && !IsSeparator(relative[end], inputs_.separator)) continue;
      const std::wstring part = inputs_.install_folder + relative.substr(0, end);
      if (files_.Probe(part) == PathKind::kLink) return part;
    }
    return inputs_.install_folder + relative;
  }

  void Report(const std::wstring& text, size_t done, size_t total) {
    if (inputs_.progress != nullptr) inputs_.progress->Report(text, done, total);
  }

  // Whether the step at `i` of the plan was passed over as it ran.
  bool PassedOver(size_t i) const {
    return !passed_over_.empty() &&
           std::binary_search(passed_over_.begin(), passed_over_.end(), i);
  }

  void PassOver(size_t index, const wchar_t* why) {
    ++log_.tally().passed_over;
    if (log_.enabled()) log_.Line(L"passed over " + listed_.Path(index) + L": " + why);
  }

  // The installation's counterpart of the listed folder `folder`, as its
  // path and a separator.
  const std::wstring& InstallationPrefix(uint32_t folder) {
    if (installation_prefixes_.size() <= folder) installation_prefixes_.resize(folder + 1);
    std::wstring& prefix = installation_prefixes_[folder];
    if (prefix.empty()) {
      prefix = inputs_.install_folder +
               RelativePathOf(listed_.FolderPrefix(folder), inputs_.package_folder);
    }
    return prefix;
  }

  HeldFolders& Held(uint32_t folder) {
    for (HeldFolders& held : held_) {
      if (held.folder == folder) return held;
    }
    if (held_.size() == kListingsKept) held_.pop_front();
    held_.emplace_back();
    held_.back().folder = folder;
    return held_.back();
  }
  const Folder& Package(uint32_t folder) {
    HeldFolders& held = Held(folder);
    if (!held.package) held.package = files_.HoldFolder(listed_.FolderPrefix(folder));
    return *held.package;
  }
  const Folder& Installation(uint32_t folder) {
    HeldFolders& held = Held(folder);
    if (!held.installation) {
      held.installation = files_.HoldFolder(InstallationPrefix(folder));
    }
    return *held.installation;
  }

  // The names taken in the installation folder `folder`, listed once for
  // every file the package puts there; null where they cannot be listed,
  // and each name is looked at instead. A name taken after the listing
  // makes the exclusive copy or the link fail, and the update is undone.
  const NameSet* TakenIn(const std::wstring& folder) {
    for (NameSet& recent : listed_folders_) {
      if (recent.folder == folder) return recent.complete ? &recent : nullptr;
    }
    // A folder's files may stand apart, its subfolders' files between them
    // in the walk's order: the last few listings are kept.
    if (listed_folders_.size() == kListingsKept) listed_folders_.pop_front();
    listed_folders_.emplace_back();
    NameSet& set = listed_folders_.back();
    set.folder = folder;
    const FileStatus listed = files_.ListNames(folder, &set.names);
    // A folder that is missing holds no name; any other failure leaves
    // the looks (which tell a link on the way) to each name.
    set.complete = listed.ok() || listed == FileResult::kMissing;
    if (!listed.ok()) set.names.clear();
    if (!set.complete) return nullptr;
    std::sort(set.names.begin(), set.names.end());
    return &set;
  }

  // The backup name while it is free. A backup from an earlier run holds the
  // only copy of an older file: it is kept, and the installed file only set
  // aside, under the first free set-aside name, until the update succeeds.
  // `taken` (when listed) answers for the names beside `name`.
  bool PickAside(const std::wstring& prefix, const Folder& folder, const NameSet* taken,
                 const std::wstring& name, int* aside) {
    const auto free = [&](const std::wstring& suffix, bool* is_free) {
      probe_.assign(name).append(suffix);
      if (taken != nullptr) {
        *is_free = !taken->Has(probe_);
        return true;
      }
      // In the folder held for the step, as a back-end that keeps its
      // own listing of it answers without a look at the disk.
      FileIdentity unused;
      const PathKind kind = files_.IdentifyIn(folder, probe_, &unused);
      if (kind == PathKind::kError) {
        log_.Line(L"failed: cannot tell whether " + prefix + probe_ + L" exists");
        return false;
      }
      *is_free = kind == PathKind::kMissing;
      return true;
    };
    bool is_free = false;
    if (!free(backup_suffix_, &is_free)) return false;
    if (is_free) {
      *aside = kBackupAside;
      return true;
    }
    for (int n = 0; n < kNameTries; ++n) {
      if (!free(SetAsideName(L"", n), &is_free)) return false;
      if (is_free) {
        *aside = n;
        return true;
      }
    }
    log_.Line(L"failed: no free name beside " + prefix + name);
    return false;
  }

  FileSystem& files_;
  const ReplaceInputs& inputs_;
  const FileList& listed_;
  RunLog& log_;
  const std::wstring backup_suffix_;  // "." and the ProductVERNUM
  const std::wstring journal_;
  std::unique_ptr<OwnFile> journal_file_;  // from its draft to its removal
  bool journal_lost_ = false;
  std::vector<Planned> plan_;
  // The steps the copy's open showed to come from a link leading out of the
  // package, ascending: left as they were, and never counted as replaced.
  std::vector<size_t> passed_over_;
  std::deque<NameSet> listed_folders_;
  std::vector<std::wstring> installation_prefixes_;  // by listed folder, when asked for
  std::deque<HeldFolders> held_;
  std::wstring changed_;
  // Reused for every file of the plan: the name at hand and a name tried
  // beside it.
  std::wstring name_, probe_;
  bool untouched_last_ = false;  // the last step tried failed before moving anything
  bool cancelled_ = false;
  // A rollback's: each planned step's backup, what goes back and is removed
  // once it commits (apart from the plan, which a million-file update holds
  // without it), and its hash; installed files
  // with no backup and the others that cannot be taken back, and whether
  // no packaged file has a backup at all.
  std::vector<FileIdentity> backups_;
  std::vector<Sha256Digest> backup_digests_;
  std::vector<std::wstring> no_backup_;
  std::vector<std::wstring> refused_;
  bool nothing_to_take_back_ = false;
};

}  // namespace

std::wstring RelativePathOf(const std::wstring& listed,
                            const std::wstring& package_folder) {
  if (listed.compare(0, package_folder.size(), package_folder) == 0) {
    return listed.substr(package_folder.size());
  }
  return listed;
}

bool IsBackupName(const std::wstring& relative, const std::wstring& product_vernum,
                  wchar_t separator) {
  size_t start = relative.size();
  while (start > 0 && !IsSeparator(relative[start - 1], separator)) --start;
  // Letter case aside, as names match on Windows; with no copy, as every
  // packaged file is asked.
  const std::wstring_view name = std::wstring_view(relative).substr(start);
  const std::wstring_view scratch = kScratchSuffix;
  // Its first two units (".~") have no letter case: only where they stand
  // is the rest compared.
  for (size_t at = name.find(scratch.substr(0, 2)); at != std::wstring_view::npos &&
                                                     at + scratch.size() <= name.size();
       at = name.find(scratch.substr(0, 2), at + 1)) {
    if (EqualsIgnoreAsciiCase(name.substr(at + 2, scratch.size() - 2), scratch.substr(2))) {
      return true;
    }
  }
  const size_t tail = product_vernum.size() + 1;
  return name.size() > tail && name[name.size() - tail] == L'.' &&
         EqualsIgnoreAsciiCase(name.substr(name.size() - product_vernum.size()), product_vernum);
}

ReplaceResult ReplaceFiles(FileSystem& files, Messages& messages,
                           const ReplaceInputs& inputs,
                           const FileList& listed, RunLog& log) {
  Replacement replacement(files, inputs, listed, log);
  size_t done = 0;
  bool undo_complete = true;
  replacement.AllowCancel(true);
  if (!replacement.Plan()) {
    log.Line(L"nothing was changed");
  } else if (replacement.nothing_to_take_back()) {
    replacement.AllowCancel(false);
    return ReplaceResult::kNothingToTakeBack;
  } else if (replacement.Cancelled(0)) {
    log.Line(L"nothing was changed");
  } else if (replacement.empty()) {
    replacement.AllowCancel(false);
    return ReplaceResult::kDone;
  } else if (!replacement.WriteJournal()) {
    log.Line(L"nothing was changed");
    undo_complete = !replacement.journal_lost();
  } else if (replacement.Apply(&done)) {
    replacement.AllowCancel(false);
    if (replacement.Commit()) {
      replacement.TallyKept();
      replacement.DropSetAsides();
      replacement.DropBackups();
      replacement.RemoveJournal();
      return ReplaceResult::kDone;
    }
    undo_complete = replacement.UndoNewestFirst(done) && replacement.RemoveJournal();
  } else {
    // Undone before the user is told, so the installation is whole again by
    // the time the message appears. An incomplete undo keeps the journal for
    // the next start to finish. A cancel made while the step waited for a
    // file in use is what ended it: asked before cancelling is switched off.
    replacement.Cancelled(done);
    replacement.AllowCancel(false);
    undo_complete = replacement.UndoNewestFirst(done) && replacement.RemoveJournal();
  }
  replacement.AllowCancel(false);
  const std::wstring changed = replacement.changed();
  if (replacement.cancelled() && undo_complete) {
    messages.Show(msg::kCancelled, msg::kCancelledCaption, Messages::Style::kPlain);
    return ReplaceResult::kCancelled;
  }
  if (!changed.empty() && undo_complete) {
    messages.Show(std::wstring(msg::kPackageDamaged) + L"\n" + changed + L" (changed)",
                  msg::kRunningCaption, Messages::Style::kPlain);
    return ReplaceResult::kPackageChanged;
  }
  std::wstring text = msg::kCopyFailed;
  if (!undo_complete) {
    // After a cancel nothing failed to copy: only the undo is left to finish.
    text = replacement.cancelled() ? msg::kUndoIncomplete : text + L"\n" + msg::kUndoIncomplete;
  }
  messages.Show(text, msg::kCopyFailedCaption, Messages::Style::kPlain);
  return undo_complete ? ReplaceResult::kFailedUndone : ReplaceResult::kFailedUndoIncomplete;
}

PlanCheck CheckReplacement(FileSystem& files, const ReplaceInputs& inputs, const FileList& listed,
                           RunLog& log) {
  Replacement replacement(files, inputs, listed, log);
  PlanCheck check;
  check.planned = replacement.Plan();
  if (check.planned) replacement.Check(&check);
  return check;
}

ReplaceResult ReplaceFiles(FileSystem& files, Messages& messages, const ReplaceInputs& inputs,
                           const std::vector<std::wstring>& listed, RunLog& log) {
  return ReplaceFiles(files, messages, inputs, FileList::FromPaths(listed, inputs.separator), log);
}

}  // namespace kestrune
