// The record of an update in progress, kept at the top of the installation
// so that the next start can take back an update that was stopped halfway.
#ifndef KESTRUNE_REPLACE_JOURNAL_H_
#define KESTRUNE_REPLACE_JOURNAL_H_

#include <string>
#include <string_view>
#include <vector>

#include "run/names.h"

namespace kestrune {

// One planned replacement: the installed file's path relative to the
// installation folder and its aside name (kBackupAside or a set-aside
// number).
struct JournalStep {
  std::wstring relative;
  int aside = 0;
};

struct Journal {
  std::wstring backup_suffix;     // "." and the ProductVERNUM of the run
  std::wstring temporary_suffix;  // of the copies beside their destinations
  std::vector<JournalStep> steps;
  bool committed = false;  // every new file was durable: keep them
};

// The whole plan is written at once, before the first change; only the
// commit line is appended later.
std::string JournalHead(const std::wstring& backup_suffix, const std::wstring& temporary_suffix);
void AppendJournalStep(const std::wstring& relative, int aside, std::string* journal);
void AppendJournalEnd(size_t steps, std::string* journal);
inline constexpr char kJournalCommit[] = "commit\n";

// False for anything that is not a whole journal: a recovery never guesses.
// A commit line cut short by a stop counts as no commit.
bool ParseJournal(std::string_view bytes, Journal* journal);

}  // namespace kestrune

#endif  // KESTRUNE_REPLACE_JOURNAL_H_
