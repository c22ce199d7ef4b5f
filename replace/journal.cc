#include "replace/journal.h"

#include <charconv>
#include <cstdint>
#include <string>

#include "platform/text.h"
#include "platform/utf.h"

namespace kestrune {
namespace {

// The second form: each step carries the installed file's identity. A journal
// of the first form names no identities, so nothing in it can be proven to
// be the run's own; it is refused like any other.
constexpr std::string_view kHead = "Kestrune journal 2\n";
constexpr size_t kStartDigits = 17;

// A number and the tab after it, with no string of its own.
template <typename Number>
void AppendNumber(Number value, std::string* out) {
  char digits[24];
  const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, value);
  out->append(digits, end.ptr);
  *out += '\t';
}

// Fields are separated by tabs; a file name may hold a tab or a line break,
// so those (and the escape itself) are escaped.
void AppendField(std::wstring_view text, std::string* out) {
  // A line a file: most names need no escape at all, and are converted
  // straight into the journal.
  const size_t start = out->size();
  AppendUtf8FromWide(text, out);
  bool plain = true;
  for (size_t i = start; i < out->size(); ++i) {
    const char c = (*out)[i];
    plain = plain && c != '\\' && c != '\t' && c != '\n' && c != '\r';
  }
  if (plain) return;
  const std::string bytes = out->substr(start);
  out->resize(start);
  for (char c : bytes) {
    switch (c) {
      case '\\':
        *out += "\\\\";
        break;
      case '\t':
        *out += "\\t";
        break;
      case '\n':
        *out += "\\n";
        break;
      case '\r':
        *out += "\\r";
        break;
      default:
        *out += c;
    }
  }
}

// False for an unknown escape, a NUL (which would cut the name short at the
// system call) or bytes that are not UTF-8 (which would not name the file
// they seem to).
bool Unescape(std::string_view field, std::wstring* text) {
  std::string bytes;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\0') return false;
    if (field[i] != '\\') {
      bytes += field[i];
      continue;
    }
    if (++i == field.size()) return false;
    switch (field[i]) {
      case '\\': bytes += '\\'; break;
      case 't': bytes += '\t'; break;
      case 'n': bytes += '\n'; break;
      case 'r': bytes += '\r'; break;
      default: return false;
    }
  }
  *text = WideFromUtf8(bytes);
  return Utf8FromWide(*text) == bytes;
}

bool ParseUnsigned(std::string_view text, uint64_t high, uint64_t* number) {
  if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0')) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (high - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *number = value;
  return true;
}

bool ParseSigned(std::string_view text, int64_t low, int64_t high, int64_t* number) {
  const bool negative = !text.empty() && text[0] == '-';
  uint64_t magnitude = 0;
  const uint64_t bound = negative ? static_cast<uint64_t>(-(low + 1)) + 1 : static_cast<uint64_t>(high);
  if (!ParseUnsigned(negative ? text.substr(1) : text, bound, &magnitude)) return false;
  if (negative && magnitude == 0) return false;
  *number = negative ? -static_cast<int64_t>(magnitude - 1) - 1 : static_cast<int64_t>(magnitude);
  return *number >= low && *number <= high;
}

// Splits off the next line (without its '\n'); false when none is whole.
bool NextLine(std::string_view* rest, std::string_view* line) {
  const size_t end = rest->find('\n');
  if (end == std::string_view::npos) return false;
  *line = rest->substr(0, end);
  rest->remove_prefix(end + 1);
  return true;
}

// Splits off the next tab-separated field; false when no tab follows.
bool NextField(std::string_view* rest, std::string_view* field) {
  const size_t tab = rest->find('\t');
  if (tab == std::string_view::npos) return false;
  *field = rest->substr(0, tab);
  rest->remove_prefix(tab + 1);
  return true;
}

// Why a relative path may not be acted on, or null when it may: it must stay
// below the installation folder whatever the system makes of it.
const wchar_t* RelativeFault(const std::wstring& relative, const JournalRules& rules) {
  if (relative.empty() || !IsSeparator(relative[0], rules.separator)) {
    return L"the path does not start with a separator";
  }
  if (HoldsUpdaterMarker(relative, rules.separator)) {
    return L"the path names one of the updater's own files";
  }
  const bool windows = rules.separator == L'\\';
  size_t start = 1;
  for (;;) {
    size_t end = start;
    while (end < relative.size() && !IsSeparator(relative[end], rules.separator)) ++end;
    const std::wstring_view part = std::wstring_view(relative).substr(start, end - start);
    if (part.empty()) return L"the path has an empty part";
    if (part == L"." || part == L"..") return L"the path has a \".\" or \"..\" part";
    // Windows trims trailing dots and spaces, so "..." or ". ." can become
    // ".."; ":" names a stream or a drive.
    if (windows && part.find_first_not_of(L". ") == std::wstring_view::npos) {
      return L"the path has a part of dots and spaces";
    }
    if (windows && part.find(L':') != std::wstring_view::npos) return L"the path holds a \":\"";
    if (part.find(L'\0') != std::wstring_view::npos) return L"the path holds a NUL";
    if (end == relative.size()) return nullptr;
    start = end + 1;
  }
}

constexpr std::string_view kRollbackLine = "rollback";

// Reads one step's line into `step`; why it cannot, or null.
const wchar_t* ParseStep(std::string_view line, bool rollback, JournalStep* step) {
  std::string_view field;
  int64_t aside = 0;
  if (!NextField(&line, &field) || !ParseSigned(field, -1, kLastAside, &aside)) {
    return L"the aside number is out of range";
  }
  step->aside = static_cast<int>(aside);
  uint64_t* const numbers[] = {&step->installed.volume, &step->installed.index,
                               &step->installed.size};
  for (uint64_t* value : numbers) {
    if (!NextField(&line, &field) || !ParseUnsigned(field, UINT64_MAX, value)) {
      return L"the installed file's identity is not whole";
    }
  }
  if (!NextField(&line, &field) ||
      !ParseSigned(field, INT64_MIN, INT64_MAX, &step->installed.modified)) {
    return L"the installed file's identity is not whole";
  }
  if (rollback) {
    uint64_t* const backup[] = {&step->backup.volume, &step->backup.index, &step->backup.size};
    for (uint64_t* value : backup) {
      if (!NextField(&line, &field) || !ParseUnsigned(field, UINT64_MAX, value)) {
        return L"the backup's identity is not whole";
      }
    }
    if (!NextField(&line, &field) ||
        !ParseSigned(field, INT64_MIN, INT64_MAX, &step->backup.modified)) {
      return L"the backup's identity is not whole";
    }
  }
  if (!Unescape(line, &step->relative)) return L"the path is not text";
  return nullptr;
}

}  // namespace

JournalStep Journal::Step(size_t index) const {
  std::string_view rest = bytes_.substr(lines_[index]);
  std::string_view line;
  JournalStep step;
  // Checked whole when the journal was read: it cannot fail now.
  NextLine(&rest, &line);
  ParseStep(line, rollback, &step);
  return step;
}

std::string JournalHead(const std::wstring& backup_suffix, const std::wstring& temporary_suffix,
                        bool rollback) {
  std::string head(kHead);
  head += "backup\t";
  AppendField(backup_suffix, &head);
  head += "\ntemporary\t";
  AppendField(temporary_suffix, &head);
  head += '\n';
  if (rollback) head.append(kRollbackLine) += '\n';
  return head;
}

void AppendJournalStep(const JournalStep& step, std::string* journal, bool rollback) {
  AppendNumber(step.aside, journal);
  AppendNumber(step.installed.volume, journal);
  AppendNumber(step.installed.index, journal);
  AppendNumber(step.installed.size, journal);
  AppendNumber(step.installed.modified, journal);
  if (rollback) {
    AppendNumber(step.backup.volume, journal);
    AppendNumber(step.backup.index, journal);
    AppendNumber(step.backup.size, journal);
    AppendNumber(step.backup.modified, journal);
  }
  AppendField(step.relative, journal);
  *journal += '\n';
}

void AppendJournalEnd(size_t steps, std::string* journal) {
  *journal += "end\t" + std::to_string(steps) + "\n";
}

bool IsCopySuffix(std::wstring_view suffix) {
  const std::wstring_view scratch = kScratchSuffix;
  if (suffix.size() != scratch.size() + 1 + kStartDigits ||
      suffix.substr(0, scratch.size()) != scratch || suffix[scratch.size()] != L'-') {
    return false;
  }
  for (wchar_t c : suffix.substr(scratch.size() + 1)) {
    if (c < L'0' || c > L'9') return false;
  }
  return true;
}

std::wstring RunStartOf(std::wstring_view copy_suffix) {
  if (!IsCopySuffix(copy_suffix)) return std::wstring(copy_suffix);
  const std::wstring_view d = copy_suffix.substr(copy_suffix.size() - kStartDigits);
  std::wstring text;
  text.append(d.substr(0, 4)) += L'-';
  text.append(d.substr(4, 2)) += L'-';
  text.append(d.substr(6, 2)) += L' ';
  text.append(d.substr(8, 2)) += L':';
  text.append(d.substr(10, 2)) += L':';
  text.append(d.substr(12, 2)) += L'.';
  text.append(d.substr(14, 3));
  return text;
}

bool ParseJournal(std::string_view bytes, const JournalRules& rules, Journal* journal,
                  JournalFault* fault) {
  *journal = Journal();
  journal->bytes_ = bytes;
  size_t number = 1;
  auto refuse = [fault, &number](const wchar_t* reason) {
    *fault = JournalFault{number, reason};
    return false;
  };
  if (bytes.substr(0, kHead.size()) != kHead) return refuse(L"not a journal of this program");
  // Where each line starts is kept in 32 bits.
  if (bytes.size() > UINT32_MAX) return refuse(L"the journal is larger than a run can read");
  std::string_view rest = bytes.substr(kHead.size());
  std::string_view line;

  ++number;
  if (!NextLine(&rest, &line) || line.substr(0, 7) != "backup\t" ||
      !Unescape(line.substr(7), &journal->backup_suffix)) {
    return refuse(L"no backup suffix");
  }
  // An empty or foreign suffix would make a backup name equal the installed
  // name, or one of someone else's files.
  if (journal->backup_suffix != rules.backup_suffix) {
    return refuse(L"the backup suffix is not \".\" and this package's ProductVERNUM");
  }
  ++number;
  if (!NextLine(&rest, &line) || line.substr(0, 10) != "temporary\t" ||
      !Unescape(line.substr(10), &journal->temporary_suffix) ||
      !IsCopySuffix(journal->temporary_suffix)) {
    return refuse(L"the copy suffix is not of the form this program writes");
  }
  // Each step's line is checked whole here and kept where it stands; the
  // one step being checked is the only one held as text.
  JournalStep step;
  for (bool first = true;; first = false) {
    ++number;
    const size_t at = bytes.size() - rest.size();
    if (!NextLine(&rest, &line)) return refuse(L"the plan is cut short");
    // Only right after the suffixes, and only once.
    if (first && line == kRollbackLine) {
      journal->rollback = true;
      continue;
    }
    if (line.substr(0, 4) == "end\t") {
      uint64_t count = 0;
      if (!ParseUnsigned(line.substr(4), uint64_t{1} << 30, &count) ||
          count != journal->lines_.size()) {
        return refuse(L"the count of steps does not match the plan");
      }
      break;
    }
    if (const wchar_t* reason = ParseStep(line, journal->rollback, &step)) return refuse(reason);
    if (const wchar_t* reason = RelativeFault(step.relative, rules)) return refuse(reason);
    journal->lines_.push_back(static_cast<uint32_t>(at));
  }
  ++number;
  const std::string_view commit = kJournalCommit;
  // A power cut may leave an append's blocks allocated but zero.
  while (!rest.empty() && rest.back() == '\0') rest.remove_suffix(1);
  if (rest == commit) {
    journal->committed = true;
    return true;
  }
  // An append that a stop cut short.
  if (rest.size() < commit.size() && commit.substr(0, rest.size()) == rest) return true;
  return refuse(L"something other than the commit line follows the plan");
}

}  // namespace kestrune
