#include "replace/journal.h"

#include <cstdlib>
#include <string>

#include "platform/utf.h"

namespace kestrune {
namespace {

constexpr std::string_view kHead = "Kestrune journal 1\n";

// Fields are separated by tabs; a file name may hold a tab or a line break,
// so those (and the escape itself) are escaped.
void AppendField(std::wstring_view text, std::string* out) {
  for (char c : Utf8FromWide(text)) {
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

bool Unescape(std::string_view field, std::wstring* text) {
  std::string bytes;
  for (size_t i = 0; i < field.size(); ++i) {
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
  return true;
}

bool ParseNumber(std::string_view text, long low, long high, long* number) {
  if (text.empty() || text.size() > 12) return false;
  const std::string copy(text);
  char* end = nullptr;
  *number = std::strtol(copy.c_str(), &end, 10);
  return *end == '\0' && *number >= low && *number <= high;
}

// Splits off the next line (without its '\n'); false when none is whole.
bool NextLine(std::string_view* rest, std::string_view* line) {
  const size_t end = rest->find('\n');
  if (end == std::string_view::npos) return false;
  *line = rest->substr(0, end);
  rest->remove_prefix(end + 1);
  return true;
}

}  // namespace

std::string JournalHead(const std::wstring& backup_suffix, const std::wstring& temporary_suffix) {
  std::string head(kHead);
  head += "backup\t";
  AppendField(backup_suffix, &head);
  head += "\ntemporary\t";
  AppendField(temporary_suffix, &head);
  head += '\n';
  return head;
}

void AppendJournalStep(const std::wstring& relative, int aside, std::string* journal) {
  *journal += std::to_string(aside);
  *journal += '\t';
  AppendField(relative, journal);
  *journal += '\n';
}

void AppendJournalEnd(size_t steps, std::string* journal) {
  *journal += "end\t" + std::to_string(steps) + "\n";
}

bool ParseJournal(std::string_view bytes, Journal* journal) {
  *journal = Journal();
  if (bytes.substr(0, kHead.size()) != kHead) return false;
  std::string_view rest = bytes.substr(kHead.size());
  std::string_view line;
  if (!NextLine(&rest, &line) || line.substr(0, 7) != "backup\t" ||
      !Unescape(line.substr(7), &journal->backup_suffix) || !NextLine(&rest, &line) ||
      line.substr(0, 10) != "temporary\t" ||
      !Unescape(line.substr(10), &journal->temporary_suffix) ||
      journal->temporary_suffix.empty()) {
    return false;
  }
  for (;;) {
    if (!NextLine(&rest, &line)) return false;
    if (line.substr(0, 4) == "end\t") {
      long count = 0;
      if (!ParseNumber(line.substr(4), 0, 1L << 30, &count) ||
          static_cast<size_t>(count) != journal->steps.size()) {
        return false;
      }
      break;
    }
    const size_t tab = line.find('\t');
    long aside = 0;
    JournalStep step;
    if (tab == std::string_view::npos || !ParseNumber(line.substr(0, tab), -1, 1000, &aside) ||
        !Unescape(line.substr(tab + 1), &step.relative) || step.relative.empty()) {
      return false;
    }
    step.aside = static_cast<int>(aside);
    journal->steps.push_back(std::move(step));
  }
  const std::string_view commit = kJournalCommit;
  // A power cut may leave an append's blocks allocated but zero.
  while (!rest.empty() && rest.back() == '\0') rest.remove_suffix(1);
  if (rest == commit) {
    journal->committed = true;
    return true;
  }
  // An append that a stop cut short.
  return rest.size() < commit.size() && commit.substr(0, rest.size()) == rest;
}

}  // namespace kestrune
