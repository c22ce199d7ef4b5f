#include "replace/replacer.h"

#include "app/messages.h"
#include "replace/replace_step.h"

namespace kestrune {
namespace {

// The updater's own files carry its name; they are never installed.
constexpr wchar_t kSkipMarker[] = L"Kestrune";
constexpr wchar_t kTemporarySuffix[] = L".~kestrune";
constexpr int kTemporaryNameTries = 100;

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

// Replaces one installed file, recording the step in `done` as soon as it
// may have changed anything. False on failure.
bool ReplaceOne(FileSystem& files, const std::wstring& source, std::wstring destination,
                const std::wstring& product_vernum, std::vector<ReplaceStep>* done) {
  std::wstring backup = destination + L"." + product_vernum;
  done->emplace_back(destination, std::move(backup), ReplaceStep::Aside::kBackup);
  switch (done->back().Do(files, source)) {
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
  std::wstring temporary;
  if (!FindTemporaryName(files, destination, &temporary)) return false;
  done->emplace_back(std::move(destination), std::move(temporary),
                     ReplaceStep::Aside::kTemporary);
  return done->back().Do(files, source) == ReplaceStep::Result::kDone;
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
    const PathKind installed = files.Probe(destination);
    if (installed == PathKind::kMissing || installed == PathKind::kFolder) continue;
    if (installed == PathKind::kError ||
        !ReplaceOne(files, inputs.package_folder + relative, std::move(destination),
                    inputs.product_vernum, &done)) {
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
