// The record of an update in progress, kept at the top of the installation
// so that the next start can take back an update that was stopped halfway.
// Whoever may write in the installation folder may write this file too: it is
// read as untrusted input, and what the reader returns is already checked.
#ifndef KESTRUNE_REPLACE_JOURNAL_H_
#define KESTRUNE_REPLACE_JOURNAL_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "run/names.h"

namespace kestrune {

// One planned replacement: the installed file's path relative to the
// installation folder, its aside name (kBackupAside or a set-aside number)
// and what identified the installed file when the plan was made.
struct JournalStep {
  std::wstring relative;
  int aside = 0;
  FileIdentity installed;
  // In the journal of a rollback, which takes the update back: the backup
  // whose bytes go back to the installed name, removed once it commits.
  FileIdentity backup;
};

// The most a journal may hold, read whole: a few million files (a million
// take about 70 MB) where the address space is wide, a few hundred thousand
// in a 32-bit process, which must find room for the whole journal in one
// block beside everything else it holds. A run whose journal would be
// larger is refused before any change, as the next run could not read it.
inline constexpr size_t kJournalLimit =
    sizeof(void*) >= 8 ? size_t{256} << 20 : size_t{64} << 20;
// The highest set-aside number a run gives.
inline constexpr int kLastAside = 99;

// The whole plan is written before the first change (a long one in parts,
// under the draft name); only the commit line is appended later.
// A rollback's journal says so in its head, and each of its steps names
// the backup it puts back.
std::string JournalHead(const std::wstring& backup_suffix, const std::wstring& temporary_suffix,
                        bool rollback = false);
void AppendJournalStep(const JournalStep& step, std::string* journal, bool rollback = false);
void AppendJournalEnd(size_t steps, std::string* journal);
inline constexpr char kJournalCommit[] = "commit\n";

// The suffix of one run's copies: the scratch suffix, "-" and the 17 digits
// of its start time (year to millisecond).
bool IsCopySuffix(std::wstring_view suffix);

// Why a journal was refused: its line (1 for the first) and the rule broken.
struct JournalFault {
  size_t line = 0;
  std::wstring reason;
};

// What a journal must hold to be acted on: this run's backup suffix, and the
// separator (on Windows "/" separates too, and ":" is refused).
struct JournalRules {
  std::wstring backup_suffix;
  wchar_t separator = L'\\';
};

// A journal read back: its suffixes, and its steps left in the bytes it was
// read from, each taken out of its line when asked for. A journal of
// millions of short steps then costs four bytes a step beyond its own
// bytes, where a copy of every path would not fit a 32-bit process.
class Journal {
 public:
  std::wstring backup_suffix;     // "." and the ProductVERNUM of the run
  std::wstring temporary_suffix;  // of the copies beside their destinations
  bool committed = false;  // every new file was durable: keep them
  bool rollback = false;   // the steps take an update back

  size_t size() const { return lines_.size(); }
  // The step at `index`, its line checked whole by the reader. Valid while
  // the bytes the journal was read from are.
  JournalStep Step(size_t index) const;

 private:
  friend bool ParseJournal(std::string_view bytes, const JournalRules& rules, Journal* journal,
                           JournalFault* fault);
  std::string_view bytes_;
  std::vector<uint32_t> lines_;  // where each step's line starts in bytes_
};

// False for anything that is not a whole journal of this program's own
// form: a recovery never guesses. A commit line cut short by a stop counts
// as no commit. Every relative path starts with the separator and has no
// empty, "." or ".." part and no NUL; the suffixes are exactly what a run
// writes. `bytes` must outlive `journal`, whose steps stay in them.
bool ParseJournal(std::string_view bytes, const JournalRules& rules, Journal* journal,
                  JournalFault* fault);

// The start time a copy suffix carries, as "2026-12-07 11:08:37.123"; the
// suffix itself when it is not one.
std::wstring RunStartOf(std::wstring_view copy_suffix);

}  // namespace kestrune

#endif  // KESTRUNE_REPLACE_JOURNAL_H_
