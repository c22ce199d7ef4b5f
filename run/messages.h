// Every text and caption a run can show, exactly as users and package builders
// know them.
#ifndef KESTRUNE_RUN_MESSAGES_H_
#define KESTRUNE_RUN_MESSAGES_H_

namespace kestrune::msg {

inline constexpr wchar_t kErrorCaption[] = L"ERROR";

inline constexpr wchar_t kNotInstalled[] =
    L"This machine has not installed VORDA+ yet";
inline constexpr wchar_t kNotFound[] = L"Couldn't find VORDA+!";
inline constexpr wchar_t kLibraryMissing[] = L"VoUInfo.dll is missing";
// Follows the library path; shown in the framework box.
inline constexpr wchar_t kDoesNotExist[] = L" does not exists!";
inline constexpr wchar_t kWrongVersion[] =
    L"You need to install the correct Version before update";

inline constexpr wchar_t kRunning[] =
    L"The installer has detected that VORDA.exe is running.\nYou have to "
    L"close all these programs before continuing the update.";
inline constexpr wchar_t kRunningCaption[] = L"Error";

inline constexpr wchar_t kCopyFailed[] = L"Failed to copy files";
inline constexpr wchar_t kCopyFailedCaption[] = L"Err";
// Follows kCopyFailed on a line of its own when the undo was incomplete.
inline constexpr wchar_t kUndoIncomplete[] =
    L"Some files could not be restored. Run the update again to restore them.";

inline constexpr wchar_t kAnotherRun[] = L"Another update of VORDA+ is running.";
inline constexpr wchar_t kInterrupted[] =
    L"The previous update of VORDA+ was interrupted and could not be undone.";

inline constexpr wchar_t kCompleted[] = L"You have successfully updated VORDA+";
inline constexpr wchar_t kCompletedCaption[] = L"VORDA+ UPDATE";

// "/check": "The update of VORDA+ can be applied: <N> files would be
// replaced.", caption kCompletedCaption.
inline constexpr wchar_t kCheckPassed[] = L"The update of VORDA+ can be applied: ";
inline constexpr wchar_t kCheckPassedEnd[] = L" files would be replaced.";
// "/check" with a journal that the next run can act on: the rest is checked
// only on the installation as that run leaves it.
inline constexpr wchar_t kCheckInterrupted[] =
    L"An interrupted update of VORDA+ is waiting. The next run finishes it or takes it back "
    L"first; check again after that run.";

// "/rollback": "VORDA+ was returned to version <ProductVERNUM>.", caption
// kCompletedCaption.
inline constexpr wchar_t kReturned[] = L"VORDA+ was returned to version ";

// Follows the settings file path, then the name of the first empty key.
inline constexpr wchar_t kDoesNotSet[] = L" does not set ";

// Followed by a line feed, the relative path of the first difference and its
// kind: "(changed)", "(missing)", "(not listed)".
inline constexpr wchar_t kPackageDamaged[] = L"The update package is incomplete or damaged:";
// "Could not read <relative path>: <the system's text>", caption "Error":
// /write-hashes could not read a packaged file (or search a folder).
inline constexpr wchar_t kCouldNotRead[] = L"Could not read ";
inline constexpr wchar_t kCouldNotWrite[] = L"Could not write ";
// "Wrote <list> for <N> files".
inline constexpr wchar_t kWrote[] = L"Wrote ";
inline constexpr wchar_t kForFiles[] = L" files";
// Then, a line each: "<relative path> (left out, <why>)", and past the
// first few, "and <N> more (see the log)". No ": ", which would split the
// POSIX port's record.
inline constexpr wchar_t kLeftOut[] = L" (left out, ";
inline constexpr wchar_t kAndMore[] = L"\nand ";
inline constexpr wchar_t kMore[] = L" more (see the log)";
// Why a packaged entry is left out: in that box and in each "passed over"
// line of the log.
inline constexpr wchar_t kLeadsOutOfPackage[] = L"a link that leads out of the package";
inline constexpr wchar_t kNeitherFileNorFolder[] = L"neither a file nor a folder";

// The progress window: its caption and each stage.
inline constexpr wchar_t kProgressCaption[] = L"VORDA+ Update";
inline constexpr wchar_t kUpdatingProgress[] = L"Updating VORDA+";
inline constexpr wchar_t kCheckingProgress[] = L"Checking the update package";
inline constexpr wchar_t kRestoringProgress[] = L"Restoring the interrupted update of VORDA+";
inline constexpr wchar_t kUndoingProgress[] = L"Undoing the update";
// "<n> of <N> files (<percent>%)".
inline constexpr wchar_t kOfFiles[] = L" of ";
inline constexpr wchar_t kFilesPercent[] = L" files (";
// "About <n> seconds left", "About 1 minute left", "About <n> minutes left",
// "About 1 hour left", "About <n> hours left".
inline constexpr wchar_t kAbout[] = L"About ";
inline constexpr wchar_t kSecondsLeft[] = L" seconds left";
inline constexpr wchar_t kMinuteLeft[] = L" minute left";
inline constexpr wchar_t kMinutesLeft[] = L" minutes left";
inline constexpr wchar_t kHourLeft[] = L" hour left";
inline constexpr wchar_t kHoursLeft[] = L" hours left";
// "Waiting for <file>: close <program>", the program unnamed when no
// process could be named.
inline constexpr wchar_t kWaitingFor[] = L"Waiting for ";
inline constexpr wchar_t kWaitingClose[] = L": close ";
inline constexpr wchar_t kUnnamedProgram[] = L"the program that uses it";

// Cancel: the button, the question it asks, and the outcome.
inline constexpr wchar_t kCancelButton[] = L"Cancel";
inline constexpr wchar_t kCancelQuestion[] = L"Cancel the update? VORDA+ will be left as it was.";
inline constexpr wchar_t kCancelQuestionCaption[] = L"VORDA+ UPDATE";
inline constexpr wchar_t kCancelled[] =
    L"The update of VORDA+ was cancelled. VORDA+ was left as it was.";
inline constexpr wchar_t kCancelledCaption[] = L"VORDA+ UPDATE";

// The caption of the boxes about the updater itself (its usage).
inline constexpr wchar_t kUpdaterCaption[] = L"Kestrune";

}  // namespace kestrune::msg

#endif  // KESTRUNE_RUN_MESSAGES_H_
