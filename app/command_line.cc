#include "app/command_line.h"

#include "platform/text.h"

namespace kestrune {
namespace {

enum class Switch { kNone, kUnknown, kQuiet, kLog, kHelp, kWriteHashes, kCheck, kRollback };

// The switch an argument names, and for "log=PATH" the text after '='.
Switch Recognize(const std::wstring& argument, SwitchStyle style, std::wstring* value,
                 bool* has_value) {
  std::wstring name;
  if (style == SwitchStyle::kWindows) {
    if (argument.size() < 2 || (argument[0] != L'/' && argument[0] != L'-')) {
      return Switch::kNone;
    }
    name = ToLowerAscii(std::wstring_view(argument).substr(1));
  } else {
    if (argument.size() < 3 || argument.compare(0, 2, L"--") != 0) {
      return argument.size() > 1 && argument[0] == L'-' ? Switch::kUnknown : Switch::kNone;
    }
    name = argument.substr(2);
  }
  const size_t equals = name.find(L'=');
  *has_value = equals != std::wstring::npos;
  if (*has_value) {
    *value = argument.substr(argument.size() - (name.size() - equals - 1));
    name.resize(equals);
  }
  if (name == L"log") return Switch::kLog;
  if (*has_value) return Switch::kUnknown;
  if (name == L"quiet") return Switch::kQuiet;
  if (name == L"help" || (style == SwitchStyle::kWindows && name == L"?")) return Switch::kHelp;
  if (name == L"write-hashes") return Switch::kWriteHashes;
  if (name == L"check") return Switch::kCheck;
  if (name == L"rollback") return Switch::kRollback;
  return Switch::kUnknown;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::wstring>& arguments, SwitchStyle style) {
  CommandLine line;
  bool help = false;
  // The one thing asked for besides an update, when any: two of them
  // contradict each other.
  CommandLine::Action asked = CommandLine::Action::kUpdate;
  std::wstring asked_by;
  auto fail = [&line](const std::wstring& text) {
    if (line.action != CommandLine::Action::kMistake) {
      line.action = CommandLine::Action::kMistake;
      line.mistake = text;
    }
  };
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::wstring& argument = arguments[i];
    std::wstring value;
    bool has_value = false;
    switch (Recognize(argument, style, &value, &has_value)) {
      case Switch::kQuiet:
        line.quiet = true;
        break;
      case Switch::kHelp:
        help = true;
        break;
      case Switch::kWriteHashes:
      case Switch::kCheck:
      case Switch::kRollback: {
        const Switch which = Recognize(argument, style, &value, &has_value);
        const CommandLine::Action action =
            which == Switch::kCheck      ? CommandLine::Action::kCheck
            : which == Switch::kRollback ? CommandLine::Action::kRollback
                                         : CommandLine::Action::kWriteHashes;
        if (asked != CommandLine::Action::kUpdate && asked != action) {
          fail(L"The switches " + asked_by + L" and " + argument + L" cannot be used together.");
        }
        asked = action;
        asked_by = argument;
        break;
      }
      case Switch::kLog: {
        if (!has_value) {
          // The next argument is the path, unless it is itself a switch.
          std::wstring ignored;
          bool ignored_flag = false;
          if (i + 1 < arguments.size() &&
              Recognize(arguments[i + 1], style, &ignored, &ignored_flag) == Switch::kNone) {
            value = arguments[++i];
          }
        }
        if (value.empty()) {
          fail(L"The switch " + argument + L" needs a path.");
        } else {
          line.log_path = value;
        }
        break;
      }
      case Switch::kUnknown:
        fail(L"Unknown switch: " + argument);
        break;
      case Switch::kNone:
        fail(L"Unexpected argument: " + argument);
        break;
    }
  }
  if (line.action == CommandLine::Action::kMistake) return line;
  if (help) {
    line.action = CommandLine::Action::kHelp;
  } else {
    line.action = asked;
  }
  return line;
}

std::wstring UsageText(SwitchStyle style, const std::wstring& program) {
  const bool windows = style == SwitchStyle::kWindows;
  const std::wstring quiet = windows ? L"/quiet" : L"--quiet";
  const std::wstring log = windows ? L"/log PATH" : L"--log PATH";
  const std::wstring hashes = windows ? L"/write-hashes" : L"--write-hashes";
  const std::wstring check = windows ? L"/check" : L"--check";
  const std::wstring rollback = windows ? L"/rollback" : L"--rollback";
  const std::wstring rows[][2] = {
      {check, L"tell what an update would do and exit with its status, changing nothing"},
      {rollback, L"take back the update of this package, putting each file's backup back"},
      {quiet, L"show no message; the exit status tells the outcome"},
      {log, L"append a log of the run to PATH, in place of the machine's own log"},
      {hashes, L"write the package's list of SHA-256 hashes, and nothing else"},
      {windows ? L"/? or /help" : L"--help", L"show this help"},
  };
  // What a deployment tool makes of each exit status.
  static constexpr const wchar_t* kStatuses[] = {
      L"0 - updated",
      L"1 - the settings file is incomplete (fix the package)",
      L"2 - the product is not installed (check the installation)",
      L"3 - the installation folder was not found (check the installation)",
      L"4 - VoUInfo.dll is missing (check the installation)",
      L"5 - another version is installed (check the installation)",
      L"6 - the product is running (retry later)",
      L"7 - a copy failed and was undone, or a file is in use (retry once the cause is gone)",
      L"8 - the undo is unfinished (retry once the cause is gone; that finishes it)",
      L"9 - the command line was not understood (fix the command)",
      L"10 - another update of this installation is running (retry later)",
      L"11 - the package does not match its list of hashes (fix the package)",
      L"12 - cancelled by the user (run it again when wanted)",
  };

  // No line holds ": ", so that the POSIX port's record on standard error
  // stays one record. Each line stands alone, without columns, since the box
  // shows it in a proportional font.
  const std::wstring options = L" [" + quiet + L"] [" + log + L"]\n";
  std::wstring text = program + options + program + L" " + check + options + program + L" " +
                      rollback + options + program + L" " + hashes + L" [" + quiet + L"]\n\n"
                      L"Updates the installed product from the package this program is in.\n";
  for (const auto& row : rows) text += L"\n" + row[0] + L" - " + row[1];
  text += L"\n\nExit status\n";
  for (const wchar_t* status : kStatuses) text += std::wstring(L"\n") + status;
  return text;
}

}  // namespace kestrune
