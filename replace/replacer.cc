#include "replace/replacer.h"

#include <cstdint>

#include "platform/text.h"
#include "replace/journal.h"
#include "replace/replace_step.h"
#include "replace/recovery.h"
#include "run/messages.h"

namespace kestrune {
namespace {

// The updater's own files carry its name; they are never installed.
constexpr wchar_t kSkipMarker[] = L"Kestrune";
constexpr wchar_t kScratchMarker[] = L".~kestrune";
constexpr int kNameTries = 100;

// A planned replacement: which listed file, and the numbers of its names.
// Names are rebuilt when needed, so that a long update holds little more
// than its file list in memory.
struct Planned {
  size_t listed_index;
  int aside;
};

class Replacement {
 public:
  Replacement(FileSystem& files, const ReplaceInputs& inputs,
              const std::vector<std::wstring>& listed, RunLog& log)
      : files_(files), inputs_(inputs), listed_(listed), log_(log),
        journal_(JoinPath(inputs.install_folder, kJournalName, inputs.separator)) {}

  std::wstring Relative(size_t index) const {
    return RelativePathOf(listed_[index], inputs_.package_folder);
  }
  StepPaths Paths(const Planned& step) const {
    const std::wstring relative = Relative(step.listed_index);
    StepPaths paths;
    paths.source = inputs_.package_folder + relative;
    paths.destination = inputs_.install_folder + relative;
    paths.aside = step.aside == kBackupAside ? paths.destination + L"." + inputs_.product_vernum
                                             : SetAsideName(paths.destination, step.aside);
    paths.temporary = TemporaryName(paths.destination, inputs_.temporary_suffix);
    return paths;
  }

  // Decides every step and its names before anything changes; false when a
  // name cannot be told to be free, or a destination is not the
  // installation's own to write.
  bool Plan() {
    const std::wstring package = files_.ComparablePath(inputs_.package_folder);
    const std::wstring installation = files_.ComparablePath(inputs_.install_folder);
    if (package == installation) {
      log_.Line(L"failed: the package folder " + inputs_.package_folder +
                L" is the installation folder");
      return false;
    }
    // A package inside the installation could have its own files replaced
    // before they are read.
    const bool package_inside = StartsWithFolder(package, installation);
    for (size_t index = 0; index < listed_.size(); ++index) {
      const std::wstring relative = Relative(index);
      // Tested on the relative path, so that an installation folder that
      // carries the name still gets its files.
      if (relative.find(kSkipMarker) != std::wstring::npos) continue;
      if (IsBackupName(relative, inputs_.product_vernum, inputs_.separator)) {
        log_.Line(L"passed over " + relative + L": named like a backup");
        continue;
      }
      const std::wstring destination = inputs_.install_folder + relative;
      const PathKind installed = files_.Probe(destination);
      if (installed == PathKind::kMissing || installed == PathKind::kFolder) continue;
      if (installed == PathKind::kLink) {
        log_.Line(L"failed: " + destination + L" is reached through the link " +
                  LinkOn(relative) + L", where the installation may have none");
        return false;
      }
      if (package_inside &&
          StartsWithFolder(files_.ComparablePath(destination), package)) {
        log_.Line(L"failed: " + destination + L" lies inside the package folder");
        return false;
      }
      Planned step{index, kBackupAside};
      // A backup from an earlier run holds the only copy of an older file:
      // it is kept, and the installed file only set aside until the update
      // succeeds. (The copy's name needs no look: its suffix is this run's.)
      if (installed == PathKind::kError || !FreeName(destination + L"." + inputs_.product_vernum, nullptr) ||
          (!backup_free_ && !FreeName(destination, &step.aside, SetAsideName))) {
        return false;
      }
      plan_.push_back(step);
    }
    return true;
  }

  bool WriteJournal() {
    std::string text = JournalHead(L"." + inputs_.product_vernum, inputs_.temporary_suffix);
    for (const Planned& step : plan_) AppendJournalStep(Relative(step.listed_index), step.aside, &text);
    AppendJournalEnd(plan_.size(), &text);
    // Written whole under another name and renamed in, so that a stop never
    // leaves half a journal under its own name.
    const std::wstring draft = JoinPath(inputs_.install_folder, kJournalDraftName,
                                        inputs_.separator);
    files_.Remove(draft);
    return Check(files_.WriteNew(draft, text), L"write", draft) &&
           Check(files_.Replace(draft, journal_), L"rename", draft + L" over " + journal_) &&
           Check(files_.FlushFolder(inputs_.install_folder), L"flush", inputs_.install_folder);
  }

  // Runs the plan; on failure, `done` is how many steps may have changed
  // anything.
  bool Apply(size_t* done) {
    for (*done = 0; *done < plan_.size();) {
      const Planned& step = plan_[(*done)++];
      const StepPaths paths = Paths(step);
      if (!DoStep(files_, paths, log_)) return false;
      if (log_.enabled()) {
        log_.Line(L"replaced " + Relative(step.listed_index) + L"; the old file is now " +
                  paths.aside);
      }
    }
    return true;
  }

  // The new files durable first, then the commit point, then what the update
  // no longer needs. A stop after the commit keeps the update.
  bool Commit() {
    const FileStatus flushed = files_.FlushVolume(inputs_.install_folder);
    if (flushed == FileResult::kUnsupported) {
      for (const Planned& step : plan_) {
        const std::wstring destination = Paths(step).destination;
        if (!Check(files_.FlushFile(destination), L"flush", destination)) return false;
      }
    } else if (!Check(flushed, L"flush", inputs_.install_folder)) {
      return false;
    }
    return Check(files_.AppendDurably(journal_, kJournalCommit), L"write", journal_);
  }

  void DropSetAsides() {
    for (const Planned& step : plan_) {
      if (step.aside == kBackupAside) continue;
      const StepPaths paths = Paths(step);
      DropSetAside(files_, paths.aside, paths.destination + L"." + inputs_.product_vernum, log_);
    }
  }

  bool UndoNewestFirst(size_t done) {
    bool complete = true;
    for (size_t i = done; i-- > 0;) {
      const std::wstring relative = Relative(plan_[i].listed_index);
      if (UndoStep(files_, Paths(plan_[i]), log_)) {
        log_.Line(L"undone " + relative);
      } else {
        log_.Line(L"could not undo " + relative);
        complete = false;
      }
    }
    return complete;
  }

  bool RemoveJournal() {
    const FileStatus removed = files_.Remove(journal_);
    if (!removed.ok() && removed != FileResult::kMissing) {
      log_.Failure(L"remove", journal_, removed);
      return false;
    }
    files_.FlushFolder(inputs_.install_folder);
    return true;
  }

  bool empty() const { return plan_.empty(); }

 private:
  bool StartsWithFolder(const std::wstring& path, const std::wstring& folder) const {
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           (IsSeparator(path[folder.size()], inputs_.separator) ||
            (!folder.empty() && IsSeparator(folder.back(), inputs_.separator)));
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

  bool Check(const FileStatus& status, const wchar_t* operation, const std::wstring& path) {
    if (!status.ok()) log_.Failure(operation, path, status);
    return status.ok();
  }

  // Without `number`: whether `name` is free (remembered for the set-aside
  // decision). With it: the first free numbered name beside `destination`.
  bool FreeName(const std::wstring& name, int* number,
                std::wstring (*numbered)(const std::wstring&, int) = nullptr) {
    if (number == nullptr) {
      const PathKind kind = files_.Probe(name);
      backup_free_ = kind == PathKind::kMissing;
      if (kind != PathKind::kError) return true;
      log_.Line(L"failed: cannot tell whether " + name + L" exists");
      return false;
    }
    for (int n = 0; n < kNameTries; ++n) {
      const std::wstring candidate = numbered(name, n);
      const PathKind kind = files_.Probe(candidate);
      if (kind == PathKind::kMissing) {
        *number = n;
        return true;
      }
      if (kind == PathKind::kError) {
        log_.Line(L"failed: cannot tell whether " + candidate + L" exists");
        return false;
      }
    }
    log_.Line(L"failed: no free name beside " + name);
    return false;
  }

  FileSystem& files_;
  const ReplaceInputs& inputs_;
  const std::vector<std::wstring>& listed_;
  RunLog& log_;
  const std::wstring journal_;
  std::vector<Planned> plan_;
  bool backup_free_ = false;
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
  // Letter case aside, as names match on Windows.
  const std::wstring name = ToLowerAscii(std::wstring_view(relative).substr(start));
  const std::wstring suffix = L"." + ToLowerAscii(product_vernum);
  return name.find(kScratchMarker) != std::wstring::npos ||
         (name.size() > suffix.size() &&
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0);
}

ReplaceResult ReplaceFiles(FileSystem& files, Messages& messages,
                           const ReplaceInputs& inputs,
                           const std::vector<std::wstring>& listed, RunLog& log) {
  Replacement replacement(files, inputs, listed, log);
  size_t done = 0;
  bool undo_complete = true;
  if (!replacement.Plan()) {
    log.Line(L"nothing was changed");
  } else if (replacement.empty()) {
    return ReplaceResult::kDone;
  } else if (!replacement.WriteJournal()) {
    replacement.RemoveJournal();
    log.Line(L"nothing was changed");
  } else if (replacement.Apply(&done) && replacement.Commit()) {
    replacement.DropSetAsides();
    replacement.RemoveJournal();
    return ReplaceResult::kDone;
  } else {
    // Undone before the user is told, so the installation is whole again by
    // the time the message appears. An incomplete undo keeps the journal for
    // the next start to finish.
    undo_complete = replacement.UndoNewestFirst(done) && replacement.RemoveJournal();
  }
  messages.Show(undo_complete ? std::wstring(msg::kCopyFailed)
                              : std::wstring(msg::kCopyFailed) + L"\n" + msg::kUndoIncomplete,
                msg::kCopyFailedCaption, Messages::Style::kPlain);
  return undo_complete ? ReplaceResult::kFailedUndone : ReplaceResult::kFailedUndoIncomplete;
}

}  // namespace kestrune
