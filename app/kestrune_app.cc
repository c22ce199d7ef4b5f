#include "app/kestrune_app.h"

#include <string>
#include <vector>

#include "app/messages.h"
#include "app/paths.h"
#include "app/settings.h"
#include "discovery/locator.h"
#include "discovery/probe.h"
#include "guard/running_check.h"
#include "platform/text.h"
#include "replace/collector.h"
#include "replace/replacer.h"

namespace kestrune {

bool CKestruneApp::InitInstance() {
  exit_status_ = Run();
  return false;
}

ExitStatus CKestruneApp::Run() {
  Platform& p = platform_;
  p.environment.InitCommonControls();

  const std::wstring module_path = p.environment.ModulePath();
  const std::wstring package_folder = PackageFolderOf(module_path, p.separator);
  // Failure leaves the inherited folder; nothing below relies on it.
  p.environment.SetCurrentFolder(package_folder);
  const std::wstring settings_path = SettingsPathOf(module_path, p.separator);

  Settings settings = ReadSettings(p.profile, settings_path);
  // Empty values would pass every installed version and give backups a bare
  // "." suffix, so the run refuses them before touching anything.
  if (const wchar_t* unset = FirstUnsetKey(settings)) {
    p.messages.Show(settings_path + msg::kDoesNotSet + unset, msg::kErrorCaption,
                    Messages::Style::kPlain);
    return ExitStatus::kSettingsIncomplete;
  }
  state_.product_name = std::move(settings.product_name);
  state_.product_vernum = std::move(settings.product_vernum);
  state_.product_core_guid = std::move(settings.product_core_guid);

  switch (LocateInstallation(p.registry, p.messages, state_)) {
    case LocateResult::kFound:
      break;
    case LocateResult::kNotInstalled:
      return ExitStatus::kNotInstalled;
    case LocateResult::kNotFound:
      return ExitStatus::kInstallFolderNotFound;
  }

  const ProbeServices probe{p.files, p.library, p.messages, p.separator,
                            AppTitleOf(module_path, p.separator)};
  switch (ProbeInstalledVersion(probe, state_)) {
    case ProbeResult::kMatches:
      break;
    case ProbeResult::kLibraryMissing:
      return ExitStatus::kVersionLibraryMissing;
    case ProbeResult::kWrongVersion:
      return ExitStatus::kWrongVersion;
  }

  const std::wstring product_path =
      ProductPathOf(p.processes, state_.install_folder, state_.product_name);
  if (IsProductRunning(p.processes, product_path)) {
    p.messages.Show(msg::kRunning, msg::kRunningCaption, Messages::Style::kPlain);
    return ExitStatus::kProductRunning;
  }

  std::vector<std::wstring> listed;
  CollectFiles(p.files, p.separator, package_folder, &listed);
  const ReplaceInputs inputs{package_folder, state_.install_folder,
                             state_.product_vernum};
  switch (ReplaceFiles(p.files, p.messages, inputs, listed)) {
    case ReplaceResult::kDone:
      break;
    case ReplaceResult::kFailedUndone:
      return ExitStatus::kCopyFailedUndone;
    case ReplaceResult::kFailedUndoIncomplete:
      return ExitStatus::kCopyFailedUndoIncomplete;
  }

  p.messages.Show(msg::kCompleted, msg::kCompletedCaption, Messages::Style::kPlain);
  return ExitStatus::kCompleted;
}

}  // namespace kestrune
