// The updater's application object: its initialisation is the whole run.
#ifndef KESTRUNE_APP_KESTRUNE_APP_H_
#define KESTRUNE_APP_KESTRUNE_APP_H_

#include <memory>
#include <string>

#include "app/command_line.h"
#include "app/exit_status.h"
#include "run/run_state.h"
#include "platform/platform.h"
#include "replace/patient_file_system.h"
#include "replace/replacer.h"
#include "run/file_list.h"

namespace kestrune {

class CKestruneApp {
 public:
  explicit CKestruneApp(Platform& platform) : platform_(platform) {}
  CKestruneApp(const CKestruneApp&) = delete;
  CKestruneApp& operator=(const CKestruneApp&) = delete;

  // Runs the update once. Returns false in every case: the run's last
  // message box ends it, so there is never a message loop to enter.
  bool InitInstance();

  ExitStatus exit_status() const { return exit_status_; }
  const RunState& state() const { return state_; }

 private:
  ExitStatus Run();
  // The update itself, once the command line asked for it; or, for
  // `/check`, every check it makes and its plan, with nothing changed.
  ExitStatus Update(Messages& messages, const std::wstring& module_path,
                    CommandLine::Action action);
  // The plan of `/check`: what a run would do to each file, and whether it
  // could.
  ExitStatus CheckPlan(Messages& messages, PatientFileSystem& files, const ReplaceInputs& inputs,
                       const FileList& listed);
  // The package's list of hashes written, and nothing else.
  ExitStatus WriteHashes(Messages& messages, const std::wstring& module_path);
  // Takes the installation's lock for the rest of Update and clears the
  // journal draft's name; false, with its message given, when either fails.
  // `/check` takes the lock alone and leaves the draft's name as it is.
  bool TakeLock(Messages& messages, std::unique_ptr<FileLock>* lock, bool check);
  // The `result:` line: the outcome in words, for a failure the first one
  // and what became of the installation.
  void LogResult(CommandLine::Action action, ExitStatus status);
  // True, with its message shown, when the product runs.
  bool ProductRunning(Messages& messages);
  // False, with the status to end with, when the run must stop.
  // With `check`, the journal is judged and nothing recovered; a check that
  // finds one it can act on stops there.
  bool RecoverIfInterrupted(PatientFileSystem& files, Messages& messages, ExitStatus* stopped,
                            bool check);

  Platform& platform_;
  RunState state_;
  ExitStatus exit_status_ = ExitStatus::kCompleted;
  // For the `result:` line, where the exit status alone does not tell: the
  // outcome, the failure (where the run knows it better than the log's first
  // one), and what became of the installation.
  const wchar_t* outcome_ = nullptr;
  std::wstring failed_at_;
  const wchar_t* aftermath_ = L"nothing was changed";
  // A person sees the progress, so a file in use is worth a longer wait.
  bool watched_ = false;
  // The last line but the status of a run that is no update (`/check`).
  std::wstring summary_;
};

}  // namespace kestrune

#endif  // KESTRUNE_APP_KESTRUNE_APP_H_
