#include "replace/replacer.h"

#include "run/messages.h"
#include "replace/replace_step.h"

namespace kestrune {
namespace {

// The updater's own files carry its name; they are never installed.
constexpr wchar_t kSkipMarker[] = L"Kestrune";
constexpr wchar_t kTemporarySuffix[] = L".~kestrune";
constexpr int kTemporaryNameTries = 100;

// Builds the names of the listed file at `index`, its aside name as `kind`
// and `temporary_number` make it.
class PathBuilder {
 public:
  PathBuilder(const ReplaceInputs& inputs, const std::vector<std::wstring>& listed)
      : inputs_(inputs), listed_(listed) {}

  std::wstring Relative(size_t index) const {
    return RelativePathOf(listed_[index], inputs_.package_folder);
  }

  StepPaths For(size_t index, ReplaceStep::Aside kind, int temporary_number) const {
    const std::wstring relative = Relative(index);
    StepPaths paths;
    paths.source = inputs_.package_folder + relative;
    paths.destination = inputs_.install_folder + relative;
    paths.aside = kind == ReplaceStep::Aside::kBackup
                      ? paths.destination + L"." + inputs_.product_vernum
                      : TemporaryName(paths.destination, temporary_number);
    return paths;
  }
  StepPaths For(const ReplaceStep& step) const {
    return For(step.listed_index(), step.kind(), step.temporary_number());
  }

  static std::wstring TemporaryName(const std::wstring& destination, int number) {
    std::wstring name = destination + kTemporarySuffix;
    if (number > 0) name += std::to_wstring(number);
    return name;
  }

 private:
  const ReplaceInputs& inputs_;
  const std::vector<std::wstring>& listed_;
};

// Picks an unused set-aside name beside `destination`; false when none can be
// found or looked for.
bool FindTemporaryNumber(FileSystem& files, const std::wstring& destination,
                         int* number) {
  for (*number = 0; *number < kTemporaryNameTries; ++*number) {
    const PathKind kind = files.Probe(PathBuilder::TemporaryName(destination, *number));
    if (kind == PathKind::kMissing) return true;
    if (kind == PathKind::kError) return false;
  }
  return false;
}

// Replaces the listed file at `index`, recording the step in `done` as soon
// as it may have changed anything. False on failure.
bool ReplaceOne(FileSystem& files, const PathBuilder& names, size_t index, RunLog& log,
                std::vector<ReplaceStep>* done) {
  done->emplace_back(index, ReplaceStep::Aside::kBackup);
  StepPaths paths = names.For(done->back());
  switch (done->back().Do(files, paths, log)) {
    case ReplaceStep::Result::kDone:
      return true;
    case ReplaceStep::Result::kFailed:
      return false;
    case ReplaceStep::Result::kAsideTaken:
      break;
  }
  // A backup from an earlier run holds the only copy of an older file: it is
  // kept, and the installed file only set aside until the update succeeds.
  done->pop_back();
  int number = 0;
  if (!FindTemporaryNumber(files, paths.destination, &number)) {
    log.Line(L"failed: no free name to set " + paths.destination + L" aside");
    return false;
  }
  done->emplace_back(index, ReplaceStep::Aside::kTemporary, number);
  paths.aside = PathBuilder::TemporaryName(paths.destination, number);
  return done->back().Do(files, paths, log) == ReplaceStep::Result::kDone;
}

}  // namespace

std::wstring RelativePathOf(const std::wstring& listed,
                            const std::wstring& package_folder) {
  if (listed.compare(0, package_folder.size(), package_folder) == 0) {
    return listed.substr(package_folder.size());
  }
  return listed;
}

ReplaceResult ReplaceFiles(FileSystem& files, Messages& messages,
                           const ReplaceInputs& inputs,
                           const std::vector<std::wstring>& listed, RunLog& log) {
  const PathBuilder names(inputs, listed);
  std::vector<ReplaceStep> done;
  bool failed = false;
  for (size_t index = 0; index < listed.size(); ++index) {
    const std::wstring relative = names.Relative(index);
    // Tested on the relative path, so that an installation folder that
    // carries the name still gets its files.
    if (relative.find(kSkipMarker) != std::wstring::npos) continue;
    const PathKind installed = files.Probe(inputs.install_folder + relative);
    if (installed == PathKind::kMissing || installed == PathKind::kFolder) continue;
    if (installed == PathKind::kError) {
      log.Line(L"failed: cannot tell whether " + inputs.install_folder + relative + L" exists");
      failed = true;
      break;
    }
    if (!ReplaceOne(files, names, index, log, &done)) {
      failed = true;
      break;
    }
    if (log.enabled()) {
      log.Line(L"replaced " + relative + L"; the old file is now " + names.For(done.back()).aside);
    }
  }

  if (!failed) {
    // A set-aside file that cannot be removed is left beside an update that
    // did succeed. It is dropped only while the backup name holds an older
    // file; otherwise (a folder there, say) it is the one copy of the old file.
    for (ReplaceStep& step : done) {
      if (step.kind() != ReplaceStep::Aside::kTemporary) continue;
      const std::wstring backup =
          names.For(step.listed_index(), ReplaceStep::Aside::kBackup, 0).aside;
      if (files.Probe(backup) == PathKind::kFile) {
        step.Commit(files, names.For(step), log);
      } else {
        log.Line(L"kept " + names.For(step).aside + L": " + backup + L" holds no file");
      }
    }
    return ReplaceResult::kDone;
  }
  // Undo before telling the user, so the installation is whole again by the
  // time the message appears.
  bool undo_complete = true;
  for (auto step = done.rbegin(); step != done.rend(); ++step) {
    const std::wstring relative = names.Relative(step->listed_index());
    if (step->Undo(files, names.For(*step), log)) {
      log.Line(L"undone " + relative);
    } else {
      log.Line(L"could not undo " + relative);
      undo_complete = false;
    }
  }
  messages.Show(undo_complete ? std::wstring(msg::kCopyFailed)
                              : std::wstring(msg::kCopyFailed) + L"\n" + msg::kUndoIncomplete,
                msg::kCopyFailedCaption, Messages::Style::kPlain);
  return undo_complete ? ReplaceResult::kFailedUndone
                       : ReplaceResult::kFailedUndoIncomplete;
}

}  // namespace kestrune
