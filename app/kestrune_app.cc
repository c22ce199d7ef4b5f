#include "app/kestrune_app.h"

#include <map>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/logged_messages.h"
#include "app/paths.h"
#include "app/settings.h"
#include "discovery/locator.h"
#include "discovery/probe.h"
#include "guard/running_check.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "replace/collector.h"
#include "replace/patient_file_system.h"
#include "replace/recovery.h"
#include "replace/replacer.h"
#include "res/version.h"
#include "run/messages.h"
#include "run/names.h"
#include "run/own_files.h"
#include "run/progress_text.h"
#include "verify/package_check.h"

namespace kestrune {
namespace {

// A check leaves the installation as it found it, its folder's own times
// included, which the lock it makes and removes there would change: they
// are put back once the lock is gone. A run changes the folder anyway.
class FolderTimesKept {
 public:
  FolderTimesKept(FileSystem* files, const std::wstring& folder, RunLog& log)
      : files_(files), folder_(folder), log_(log) {
    if (files_ != nullptr && !files_->ReadFolderTimes(folder_, &times_).ok()) files_ = nullptr;
  }
  ~FolderTimesKept() {
    if (files_ == nullptr) return;
    const FileStatus put = files_->PutFolderTimes(folder_, times_);
    if (!put.ok()) log_.Failure(L"put back the times of", folder_, put);
  }
  FolderTimesKept(const FolderTimesKept&) = delete;
  FolderTimesKept& operator=(const FolderTimesKept&) = delete;

 private:
  FileSystem* files_;
  const std::wstring folder_;
  RunLog& log_;
  FileSystem::FolderTimes times_;
};

// The machine's own log is moved to its old name past this size, so that
// it and its old one never hold more than twice this.
constexpr uint64_t kDefaultLogLimit = uint64_t{1} << 20;

// A box lists this many entries /write-hashes left out; the log, all.
constexpr size_t kLeftOutShown = 20;

// The suffix of this run's copies beside their destinations: the digits of
// its start time, down to the millisecond. No two runs on one installation
// overlap (the lock), so no name needs a look before the journal is written.
std::wstring CopySuffixOf(const LocalTime& start) {
  std::wstring suffix = std::wstring(kScratchSuffix) + L"-";
  for (char c : FormatTimestamp(start).substr(0, 23)) {
    if (c >= '0' && c <= '9') suffix += static_cast<wchar_t>(c);
  }
  return suffix;
}

// What the log's `started` line says of the run's rights.
const wchar_t* ElevationText(Elevation elevation) {
  switch (elevation) {
    case Elevation::kElevated:
      return L"elevated";
    case Elevation::kNotElevated:
      return L"not elevated";
    case Elevation::kUnknown:
      break;
  }
  return L"elevation unknown";
}

// The outcome in words, for the log's `result:` line.
const wchar_t* OutcomeText(CommandLine::Action action, ExitStatus status) {
  switch (status) {
    case ExitStatus::kCompleted:
      return action == CommandLine::Action::kWriteHashes ? L"the list of hashes was written"
             : action == CommandLine::Action::kHelp      ? L"the usage was shown"
             : action == CommandLine::Action::kCheck     ? L"the update can be applied"
             : action == CommandLine::Action::kRollback  ? L"rolled back"
                                                         : L"updated";
    case ExitStatus::kSettingsIncomplete:
      return L"the settings file is incomplete";
    case ExitStatus::kNotInstalled:
      return L"the product is not installed";
    case ExitStatus::kInstallFolderNotFound:
      return L"the installation folder was not found";
    case ExitStatus::kVersionLibraryMissing:
      return L"VoUInfo.dll is missing";
    case ExitStatus::kWrongVersion:
      return L"another version is installed, or its version could not be read";
    case ExitStatus::kProductRunning:
      return L"the product is running";
    case ExitStatus::kCopyFailedUndone:
      return action == CommandLine::Action::kCheck      ? L"the update would fail"
             : action == CommandLine::Action::kRollback ? L"the rollback failed"
                                                        : L"the update failed";
    case ExitStatus::kCopyFailedUndoIncomplete:
      return action == CommandLine::Action::kRollback ? L"the rollback failed" : L"the update failed";
    case ExitStatus::kBadCommandLine:
      return L"the command line was not understood";
    case ExitStatus::kAnotherUpdateRunning:
      return L"another update of this installation is running, or its lock could not be taken";
    case ExitStatus::kPackageDamaged:
      return action == CommandLine::Action::kWriteHashes
                 ? L"the list of hashes could not be written"
                 : L"the package does not match its list of hashes";
    case ExitStatus::kCancelled:
      return L"cancelled by the user";
  }
  return L"";
}

// The boxes of a stage whose verdict the run logs but does not act on (the
// version before a rollback): shown nowhere.
class Unshown : public Messages {
 public:
  void Show(const std::wstring&, const std::wstring&, Style) override {}
  void ShowUsage(const std::wstring&, const std::wstring&, bool) override {}
};

// Separators at the end go, but for the one a root needs ("C:\\", "/").
void TrimFinalSeparators(std::wstring* folder, wchar_t separator) {
  while (folder->size() > 1 && IsSeparator(folder->back(), separator) &&
         (*folder)[folder->size() - 2] != L':') {
    folder->pop_back();
  }
}

}  // namespace

bool CKestruneApp::InitInstance() {
  exit_status_ = Run();
  return false;
}

ExitStatus CKestruneApp::Run() {
  Platform& p = platform_;
  p.environment.InitCommonControls();

  // Split first, so that even a command line that is not understood is
  // logged when it names a usable log.
  const SwitchStyle style = p.separator == L'\\' ? SwitchStyle::kWindows : SwitchStyle::kPosix;
  const CommandLine line = ParseCommandLine(p.environment.Arguments(), style);
  const std::wstring module_path = p.environment.ModulePath();
  const std::wstring program = FileNameOf(module_path, p.separator);
  // Opened before the current folder moves: a relative path is the
  // administrator's, taken where the updater was started. A log that cannot
  // be opened does not stop the update.
  // Without one, the machine's own log: a helpdesk finds a trace of every
  // run, and a log given on the command line stands in for it.
  if (line.action != CommandLine::Action::kHelp) {
    std::unique_ptr<LogFile> file = line.log_path.empty()
                                        ? p.environment.OpenDefaultLog(kDefaultLogLimit)
                                        : p.environment.OpenLog(line.log_path);
    if (file) state_.log.Start(p.environment, std::move(file));
  }
  if (state_.log.enabled()) {
    // Logs gathered from many machines tell where each came from.
    const RunAccount account = p.environment.Account();
    state_.log.Line(L"Kestrune " KESTRUNE_VERSION_TEXT L" started on " +
                    (account.computer.empty() ? L"an unknown computer" : account.computer) +
                    L" by " + (account.account.empty() ? L"an unknown account" : account.account) +
                    L" (" + ElevationText(account.elevation) + L"): " +
                    p.environment.CommandLine());
  }
  LoggedMessages messages(p.messages, p.progress, state_.log, line.quiet);
  ExitStatus status = ExitStatus::kCompleted;
  switch (line.action) {
    case CommandLine::Action::kHelp:
      messages.ShowUsage(UsageText(style, program), msg::kUpdaterCaption, false);
      break;
    case CommandLine::Action::kMistake:
      state_.log.Line(L"command line not understood: " + line.mistake);
      messages.ShowUsage(line.mistake + L"\n\n" + UsageText(style, program),
                         msg::kUpdaterCaption, true);
      status = ExitStatus::kBadCommandLine;
      break;
    case CommandLine::Action::kUpdate:
    case CommandLine::Action::kCheck:
    case CommandLine::Action::kRollback:
    case CommandLine::Action::kWriteHashes:
      // A person watching sees the run at work; a quiet run shows nothing.
      watched_ = !line.quiet && p.progress.Start(ProgressTexts());
      // Every lock, journal and file of the run is settled when these return.
      if (line.action == CommandLine::Action::kWriteHashes) {
        status = WriteHashes(messages, module_path);
      } else {
        status = Update(messages, module_path, line.action);
        p.progress.AllowCancel(false);
      }
      break;
  }
  LogResult(line.action, status);
  if (line.action == CommandLine::Action::kUpdate) state_.log.Summary();
  if (!summary_.empty()) state_.log.Line(summary_);
  state_.log.Line(L"exit status " + std::to_wstring(static_cast<int>(status)));
  // Last of all: a box left open must hold nothing another run needs.
  p.progress.Close();
  messages.ShowHeld();
  return status;
}

void CKestruneApp::LogResult(CommandLine::Action action, ExitStatus status) {
  if (!state_.log.enabled()) return;
  std::wstring text = L"result: ";
  text += outcome_ != nullptr ? outcome_ : OutcomeText(action, status);
  if (status == ExitStatus::kCompleted || action == CommandLine::Action::kHelp ||
      action == CommandLine::Action::kMistake) {
    state_.log.Line(text);
    return;
  }
  // The first failure sits far above the end of a long log.
  const std::wstring& failure = failed_at_.empty() ? state_.log.first_failure() : failed_at_;
  if (!failure.empty()) text += L": " + failure;
  text += L"; ";
  text += aftermath_;
  state_.log.Line(text);
}

bool CKestruneApp::TakeLock(Messages& messages, std::unique_ptr<FileLock>* lock, bool check) {
  Platform& p = platform_;
  const std::wstring lock_path = JoinPath(state_.install_folder, kLockName, p.separator);
  const FileStatus locked = p.files.Lock(lock_path, lock);
  // A journal draft is what a stop left before the first change; a link or
  // an empty folder there is someone else's, removed without being followed.
  const std::wstring draft = JoinPath(state_.install_folder, kJournalDraftName, p.separator);
  // A check leaves it for the run: whatever stands there is logged.
  if (locked.ok() && check) {
    if (p.files.Probe(draft) != PathKind::kMissing) {
      state_.log.Line(L"a run would remove " + draft + L" first");
    }
    return true;
  }
  const FileStatus cleared = locked.ok() ? p.files.ClearName(draft) : FileStatus();
  if (locked.ok() && (cleared.ok() || cleared == FileResult::kMissing)) return true;
  // Without the lock, and a free name for the journal, another run could
  // work on the same files at once: the run goes on only when it has both.
  if (locked == FileResult::kInUse) {
    state_.log.Line(L"another run holds " + lock_path);
  } else if (!locked.ok()) {
    state_.log.Failure(L"lock", lock_path, locked);
  } else {
    state_.log.Failure(L"remove", draft, cleared);
  }
  messages.Show(msg::kAnotherRun, msg::kRunningCaption, Messages::Style::kPlain);
  return false;
}

ExitStatus CKestruneApp::Update(Messages& messages, const std::wstring& module_path,
                                CommandLine::Action action) {
  Platform& p = platform_;
  const bool check = action == CommandLine::Action::kCheck;
  const bool rollback = action == CommandLine::Action::kRollback;
  const std::wstring package_folder = PackageFolderOf(module_path, p.separator);
  // Failure leaves the inherited folder; nothing below relies on it.
  p.environment.SetCurrentFolder(package_folder);
  const std::wstring settings_path = SettingsPathOf(module_path, p.separator);

  Settings settings = ReadSettings(p.profile, settings_path);
  state_.log.Line(L"settings " + settings_path + L": ProductName=" + settings.product_name +
                  L", ProductVERNUM=" + settings.product_vernum +
                  L", ProductCoreGUID=" + settings.product_core_guid);
  // Empty values would pass every installed version and give backups a bare
  // "." suffix, so the run refuses them before touching anything.
  if (const wchar_t* unset = FirstUnsetKey(settings)) {
    messages.Show(settings_path + msg::kDoesNotSet + unset, msg::kErrorCaption,
                  Messages::Style::kPlain);
    return ExitStatus::kSettingsIncomplete;
  }
  state_.product_name = std::move(settings.product_name);
  state_.product_vernum = std::move(settings.product_vernum);
  state_.product_core_guid = std::move(settings.product_core_guid);

  switch (LocateInstallation(p.registry, messages, state_)) {
    case LocateResult::kFound:
      break;
    case LocateResult::kNotInstalled:
      return ExitStatus::kNotInstalled;
    case LocateResult::kNotFound:
      return ExitStatus::kInstallFolderNotFound;
  }
  // Registry values often end in a separator; every path below is the
  // folder and a relative path that starts with one.
  TrimFinalSeparators(&state_.install_folder, p.separator);

  // An elevated run writes only inside the real installation and reads only
  // from its package, whatever links a user plants in either.
  const FileStatus confined = p.files.Confine(package_folder, state_.install_folder);
  if (!confined.ok()) {
    state_.log.Failure(L"open", state_.install_folder, confined);
    // A registered folder that is gone (or a file in its place) is no
    // installation: no lock can be made in it, and "another update is
    // running" would send a deployment tool back to it for ever.
    const PathKind found = p.files.Probe(state_.install_folder);
    if (found == PathKind::kMissing || found == PathKind::kFile || found == PathKind::kOther) {
      state_.log.Line(L"the installation folder " + state_.install_folder +
                      (found == PathKind::kMissing ? L" does not exist" : L" is not a folder"));
      messages.Show(msg::kNotFound, msg::kErrorCaption, Messages::Style::kPlain);
      return ExitStatus::kInstallFolderNotFound;
    }
  }

  // Put back after the lock is gone, which is made after this.
  FolderTimesKept times(check && confined.ok() ? &p.files : nullptr, state_.install_folder,
                        state_.log);
  // From here until Update returns, no other run works on this installation.
  std::unique_ptr<FileLock> lock;
  if (!TakeLock(messages, &lock, check)) return ExitStatus::kAnotherUpdateRunning;

  PatientFileSystem files(p.files, p.environment, state_.log,
                          Patience{&p.processes, &p.progress, watched_});
  ExitStatus stopped = ExitStatus::kCompleted;
  if (!RecoverIfInterrupted(files, messages, &stopped, check)) return stopped;

  const ProbeServices probe{p.files, p.library, messages, p.separator,
                            AppTitleOf(module_path, p.separator)};
  Unshown unshown;
  const ProbeServices logged_only{p.files, p.library, unshown, p.separator, probe.app_title};
  if (rollback) {
    // After the update the library reports the new version, which no
    // rollback package names: the installed files themselves, compared with
    // the package byte for byte, tell whether this update is there.
    ProbeInstalledVersion(logged_only, state_);
    state_.log.Line(L"a rollback does not require version " + state_.product_vernum +
                    L": each installed file is compared with the package instead");
  } else {
    switch (ProbeInstalledVersion(probe, state_)) {
      case ProbeResult::kMatches:
        break;
      case ProbeResult::kLibraryMissing:
        return ExitStatus::kVersionLibraryMissing;
      case ProbeResult::kWrongVersion:
        return ExitStatus::kWrongVersion;
    }
  }

  if (ProductRunning(messages)) return ExitStatus::kProductRunning;

  // Nothing has changed yet: a person may cancel from here to the commit.
  p.progress.AllowCancel(true);
  FileList listed;
  const OwnFiles own = OwnFilesOf(module_path, p.separator);
  p.progress.Report(msg::kCheckingProgress, 0, 0);
  if (!CollectFiles(p.files, p.separator, package_folder, &listed, state_.log)) {
    messages.Show(msg::kCopyFailed, msg::kCopyFailedCaption, Messages::Style::kPlain);
    return ExitStatus::kCopyFailedUndone;
  }
  state_.log.Line(L"package " + package_folder + L": " + std::to_wstring(listed.size()) +
                  L" files");
  // A package with a list of hashes is checked whole before anything
  // changes: one cut short or damaged on its way would install half.
  const std::wstring list_path = HashListPathOf(module_path, p.separator);
  std::map<std::wstring, Sha256Digest> digests;
  const bool listed_hashes = p.files.Probe(list_path) != PathKind::kMissing;
  if (listed_hashes) {
    std::wstring first;
    std::vector<size_t> outside;
    const bool matches =
        CheckPackage(files, list_path, PackageFiles{package_folder, listed, p.separator, own},
                     state_.log, p.progress, &first, &digests, &outside);
    // Links leading out that only their open revealed have no hash to be
    // copied against: they are passed over as the walk passes over others.
    listed.Drop(outside);
    if (p.progress.CancelRequested()) {
      state_.log.Line(L"cancelled by the user while the package was checked; nothing was changed");
      messages.Show(msg::kCancelled, msg::kCancelledCaption, Messages::Style::kPlain);
      return ExitStatus::kCancelled;
    }
    if (!matches) {
      messages.Show(std::wstring(msg::kPackageDamaged) + L"\n" + first, msg::kRunningCaption,
                    Messages::Style::kPlain);
      failed_at_ = first;
      return ExitStatus::kPackageDamaged;
    }
  }
  const ReplaceInputs inputs{package_folder, state_.install_folder, state_.product_vernum,
                             p.separator, CopySuffixOf(p.environment.Now()),
                             listed_hashes ? &digests : nullptr, &p.progress, &own,
                             rollback};
  if (check) return CheckPlan(messages, files, inputs, listed);
  const ReplaceResult replaced = ReplaceFiles(files, messages, inputs, listed, state_.log);
  if (replaced != ReplaceResult::kDone) aftermath_ = L"everything was undone";
  switch (replaced) {
    case ReplaceResult::kDone:
      break;
    case ReplaceResult::kFailedUndone:
      return ExitStatus::kCopyFailedUndone;
    case ReplaceResult::kFailedUndoIncomplete:
      aftermath_ =
          L"not everything could be undone: every old file is kept under its own, backup or "
          L"set-aside name, and the next run finishes the undo";
      return ExitStatus::kCopyFailedUndoIncomplete;
    case ReplaceResult::kPackageChanged:
      return ExitStatus::kPackageDamaged;
    case ReplaceResult::kCancelled:
      return ExitStatus::kCancelled;
    case ReplaceResult::kNothingToTakeBack:
      aftermath_ = L"nothing was changed";
      outcome_ = L"nothing to take back";
      state_.log.Line(L"nothing to take back: no installed counterpart of a packaged file has its "
                      L"backup");
      break;
  }
  if (rollback) {
    const RunTally& tally = state_.log.tally();
    summary_ = L"summary: took back " + std::to_wstring(tally.replaced) + L", passed over " +
               std::to_wstring(tally.passed_over) + L", backups removed " +
               std::to_wstring(tally.backups_removed) + L", the update's files removed " +
               std::to_wstring(tally.set_asides_removed);
    // What the product now says of itself, for the log alone.
    ProbeInstalledVersion(logged_only, state_);
    messages.Show(msg::kReturned + state_.product_vernum + L".", msg::kCompletedCaption,
                  Messages::Style::kPlain);
    return ExitStatus::kCompleted;
  }

  messages.Show(msg::kCompleted, msg::kCompletedCaption, Messages::Style::kPlain);
  return ExitStatus::kCompleted;
}

ExitStatus CKestruneApp::CheckPlan(Messages& messages, PatientFileSystem& files,
                                   const ReplaceInputs& inputs, const FileList& listed) {
  const PlanCheck plan = CheckReplacement(files, inputs, listed, state_.log);
  const RunTally& tally = state_.log.tally();
  summary_ = L"summary: would replace " + std::to_wstring(plan.replaced) + L" (backups made " +
             std::to_wstring(plan.backups) + L", earlier backups kept " +
             std::to_wstring(plan.replaced - plan.backups) + L"), passed over " +
             std::to_wstring(tally.passed_over) + L", cannot go ahead " +
             std::to_wstring(plan.blocked);
  if (!plan.planned) {
    summary_.clear();
    messages.Show(msg::kCopyFailed, msg::kCopyFailedCaption, Messages::Style::kPlain);
    return ExitStatus::kCopyFailedUndone;
  }
  if (plan.blocked != 0) {
    // The administrator learns which file to free without opening the log.
    std::wstring text = std::wstring(msg::kCopyFailed) + L"\n" + plan.first_blocked;
    if (plan.blocked > 1) text += msg::kAndMore + std::to_wstring(plan.blocked - 1) + msg::kMore;
    messages.Show(text, msg::kCopyFailedCaption, Messages::Style::kPlain);
    failed_at_ = plan.first_blocked;
    return ExitStatus::kCopyFailedUndone;
  }
  messages.Show(msg::kCheckPassed + std::to_wstring(plan.replaced) + msg::kCheckPassedEnd,
                msg::kCompletedCaption, Messages::Style::kPlain);
  return ExitStatus::kCompleted;
}

bool CKestruneApp::ProductRunning(Messages& messages) {
  Platform& p = platform_;
  const std::wstring product_path =
      ProductPathOf(p.processes, state_.install_folder, state_.product_name);
  std::wstring image;
  uint32_t id = 0;
  if (!IsProductRunning(p.processes, product_path, &image, &id)) {
    // The comparable form is folded to lower case: the log spells the
    // product as the disk does.
    state_.log.Line(L"running check: no process runs " +
                    p.processes.DisplayPath(
                        JoinPath(state_.install_folder, state_.product_name, p.separator)));
    return false;
  }
  state_.log.Line(L"running check: " + p.processes.DisplayPath(image) + L" is running (process " +
                  std::to_wstring(id) + L")");
  messages.Show(msg::kRunning, msg::kRunningCaption, Messages::Style::kPlain);
  return true;
}

bool CKestruneApp::RecoverIfInterrupted(PatientFileSystem& files, Messages& messages,
                                        ExitStatus* stopped, bool check) {
  Platform& p = platform_;
  if (!HasJournal(files, state_.install_folder, p.separator)) return true;
  // Before the version probe: the interrupted update may have replaced the
  // version library itself.
  if (ProductRunning(messages)) {
    *stopped = ExitStatus::kProductRunning;
    return false;
  }
  p.progress.Report(msg::kRestoringProgress, 0, 0);
  files.WaitForAccessDenied(true);
  const RecoveryInputs inputs{state_.install_folder, state_.product_vernum, p.separator,
                              &p.progress};
  const RecoveryResult recovered = RecoverInterruptedUpdate(files, inputs, state_.log, check);
  files.WaitForAccessDenied(false);
  if (check && recovered == RecoveryResult::kRecovered) {
    // The rest would be checked on files the recovery is still to move:
    // the answer could only mislead.
    outcome_ = L"an interrupted update is waiting, and the next run can act on it first";
    messages.Show(msg::kCheckInterrupted, msg::kCompletedCaption, Messages::Style::kPlain);
    *stopped = ExitStatus::kCompleted;
    return false;
  }
  if (recovered == RecoveryResult::kFailed) {
    outcome_ = L"the interrupted update could not be taken back";
    aftermath_ = L"its journal is kept for the next run";
    messages.Show(msg::kInterrupted, msg::kCopyFailedCaption, Messages::Style::kPlain);
    *stopped = ExitStatus::kCopyFailedUndoIncomplete;
    return false;
  }
  return true;
}

ExitStatus CKestruneApp::WriteHashes(Messages& messages, const std::wstring& module_path) {
  Platform& p = platform_;
  const std::wstring package_folder = PackageFolderOf(module_path, p.separator);
  const std::wstring list_path = HashListPathOf(module_path, p.separator);
  // Links that lead out of the package are not listed, as the update would
  // not copy them.
  p.files.Confine(package_folder, L"");
  FileList listed;
  std::vector<LeftOut> left_out;
  std::wstring failed;
  FileStatus cause;
  size_t count = 0;
  if (!CollectFiles(p.files, p.separator, package_folder, &listed, state_.log, &failed,
                    &left_out)) {
    messages.Show(msg::kCouldNotRead + failed, msg::kRunningCaption, Messages::Style::kPlain);
    return ExitStatus::kPackageDamaged;
  }
  const OwnFiles own = OwnFilesOf(module_path, p.separator);
  std::vector<std::wstring> leading_out;
  const bool written =
      WriteHashList(p.files, list_path, PackageFiles{package_folder, listed, p.separator, own},
                    state_.log, &count, &failed, &cause, &leading_out);
  for (const std::wstring& path : leading_out) {
    left_out.push_back(LeftOut{path, msg::kLeadsOutOfPackage});
  }
  if (!written) {
    // Not the damaged-package text: nothing is wrong with the package.
    const wchar_t* verb = failed == list_path ? msg::kCouldNotWrite : msg::kCouldNotRead;
    messages.Show(verb + failed + L": " + p.environment.ErrorText(cause.code),
                  msg::kRunningCaption, Messages::Style::kPlain);
    return ExitStatus::kPackageDamaged;
  }
  // A package builder learns what the list does not hold and why.
  std::wstring text = msg::kWrote + list_path + L" for " + std::to_wstring(count) + msg::kForFiles;
  for (size_t i = 0; i < left_out.size() && i < kLeftOutShown; ++i) {
    text += L"\n";
    text += WithoutLeadingSeparators(RelativePathOf(left_out[i].path, package_folder), p.separator);
    text += msg::kLeftOut + std::wstring(left_out[i].why) + L")";
  }
  if (left_out.size() > kLeftOutShown) {
    text += msg::kAndMore + std::to_wstring(left_out.size() - kLeftOutShown) + msg::kMore;
  }
  messages.Show(text, msg::kUpdaterCaption, Messages::Style::kPlain);
  return ExitStatus::kCompleted;
}

}  // namespace kestrune
