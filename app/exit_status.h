// How a run ended, as the process exit status: what an unattended
// deployment reads, since with /quiet no message tells it.
#ifndef KESTRUNE_APP_EXIT_STATUS_H_
#define KESTRUNE_APP_EXIT_STATUS_H_

namespace kestrune {

enum class ExitStatus : int {
  kCompleted = 0,
  kSettingsIncomplete = 1,
  kNotInstalled = 2,
  kInstallFolderNotFound = 3,
  kVersionLibraryMissing = 4,
  kWrongVersion = 5,
  kProductRunning = 6,
  kCopyFailedUndone = 7,
  kCopyFailedUndoIncomplete = 8,
  kBadCommandLine = 9,
  kAnotherUpdateRunning = 10,
  kPackageDamaged = 11,  // also: the list of hashes could not be written
  kCancelled = 12,       // by the user; the installation as it was
};

}  // namespace kestrune

#endif  // KESTRUNE_APP_EXIT_STATUS_H_
