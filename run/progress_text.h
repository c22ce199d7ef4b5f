// The words of the progress display's changing lines. The back-end calls
// them only when it draws, at most about ten times a second, so that a run
// reporting every one of its files builds no text that nobody sees.
#ifndef KESTRUNE_RUN_PROGRESS_TEXT_H_
#define KESTRUNE_RUN_PROGRESS_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace kestrune {

// "<n> of <N> files (<percent>%)": n the file at hand (the one after the
// `done` ones), the percentage of those done.
std::wstring ProgressCount(size_t done, size_t total);

// "About 2 minutes left", from the pace of the stage so far; "" until it
// has worked about 3 s, when nothing is done yet, or when all is.
std::wstring ProgressTimeLeft(uint64_t worked_ms, size_t done, size_t total);

// "Waiting for <file>: close <programs>".
std::wstring ProgressWaiting(std::wstring_view file, std::wstring_view programs);

// Every text of the progress display, for Progress::Start.
Progress::Texts ProgressTexts();

}  // namespace kestrune

#endif  // KESTRUNE_RUN_PROGRESS_TEXT_H_
