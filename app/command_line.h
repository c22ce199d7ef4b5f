// What the updater was asked to do on its command line.
#ifndef KESTRUNE_APP_COMMAND_LINE_H_
#define KESTRUNE_APP_COMMAND_LINE_H_

#include <string>
#include <vector>

namespace kestrune {

// Windows programs take /switch or -switch in any letter case; the POSIX
// port takes --switch.
enum class SwitchStyle { kWindows, kPosix };

struct CommandLine {
  enum class Action {
    kUpdate,
    kHelp,
    kWriteHashes,
    kCheck,     // what an update would do, with nothing changed
    kRollback,  // the update of this package taken back
    kMistake,  // not understood: `mistake` says what
  };
  Action action = Action::kUpdate;
  bool quiet = false;
  std::wstring log_path;  // "" when no log was asked for
  std::wstring mistake;
};

CommandLine ParseCommandLine(const std::vector<std::wstring>& arguments, SwitchStyle style);

// The help text, naming the program as `program`.
std::wstring UsageText(SwitchStyle style, const std::wstring& program);

}  // namespace kestrune

#endif  // KESTRUNE_APP_COMMAND_LINE_H_
