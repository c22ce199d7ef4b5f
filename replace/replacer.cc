#include "replace/replacer.h"

#include "app/messages.h"
#include "replace/replace_step.h"

namespace kestrune {
namespace {

// The updater's own files carry its name; they are never installed.
constexpr wchar_t kSkipMarker[] = L"Kestrune";
constexpr wchar_t kTemporarySuffix[] = L".~kestrune";
constexpr int kTemporaryNameTries = 100;

enum class Plan { kSkip, kBackup, kSetAside, kFail };

// Picks an unused name beside `destination` for setting it aside.
bool FindTemporaryName(FileSystem& files, const std::wstring& destination,
                       std::wstring* name) {
  for (int n = 0; n < kTemporaryNameTries; ++n) {
    *name = destination + kTemporarySuffix;
    if (n > 0) *name += std::to_wstring(n);
    const PathKind kind = files.Probe(*name);
    if (kind == PathKind::kMissing) return true;
    if (kind == PathKind::kError) return false;
  }
  return false;
}

Plan PlanFor(FileSystem& files, const std::wstring& destination,
             const std::wstring& backup) {
  switch (files.Probe(destination)) {
    case PathKind::kFile:
      break;
    case PathKind::kError:
      return Plan::kFail;
    case PathKind::kMissing:
    case PathKind::kFolder:
      return Plan::kSkip;
  }
  switch (files.Probe(backup)) {
    case PathKind::kMissing:
      return Plan::kBackup;
    case PathKind::kError:
      return Plan::kFail;
    case PathKind::kFile:
    case PathKind::kFolder:
      // A backup from an earlier run holds the only copy of an older file.
      return Plan::kSetAside;
  }
  return Plan::kFail;
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
                           const std::vector<std::wstring>& listed) {
  std::vector<ReplaceStep> done;
  bool failed = false;
  for (const std::wstring& path : listed) {
    const std::wstring relative = RelativePathOf(path, inputs.package_folder);
    // Tested on the relative path, so that an installation folder that
    // carries the name still gets its files.
    if (relative.find(kSkipMarker) != std::wstring::npos) continue;
    std::wstring destination = inputs.install_folder + relative;
    std::wstring backup = destination + L"." + inputs.product_vernum;
    const Plan plan = PlanFor(files, destination, backup);
    if (plan == Plan::kSkip) continue;
    if (plan == Plan::kFail) {
      failed = true;
      break;
    }
    ReplaceStep::Aside kind = ReplaceStep::Aside::kBackup;
    std::wstring aside = std::move(backup);
    if (plan == Plan::kSetAside) {
      kind = ReplaceStep::Aside::kTemporary;
      if (!FindTemporaryName(files, destination, &aside)) {
        failed = true;
        break;
      }
    }
    done.emplace_back(inputs.package_folder + relative, std::move(destination),
                      std::move(aside), kind);
    if (!done.back().Do(files)) {
      failed = true;
      break;
    }
  }

  if (!failed) {
    // A set-aside file that cannot be removed is left beside an update that
    // did succeed; it holds nothing the installation needs.
    for (ReplaceStep& step : done) step.Commit(files);
    return ReplaceResult::kDone;
  }
  // Undo before telling the user, so the installation is whole again by the
  // time the message appears.
  bool undo_complete = true;
  for (auto step = done.rbegin(); step != done.rend(); ++step) {
    if (!step->Undo(files)) undo_complete = false;
  }
  messages.Show(msg::kCopyFailed, msg::kCopyFailedCaption, Messages::Style::kPlain);
  return undo_complete ? ReplaceResult::kFailedUndone
                       : ReplaceResult::kFailedUndoIncomplete;
}

}  // namespace kestrune
