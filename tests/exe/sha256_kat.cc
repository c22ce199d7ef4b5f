// Checks the Windows SHA-256 back-end against the known answers: prints each
// failure and exits 1, or exits 0. Run under Wine by the win32 build's tests.
#include <cstdio>
#include <string>
#include <vector>

#include "tests/sha256_known_answers.h"

int wmain() {
  const std::vector<std::string> failures = kestrune::testing::Sha256KnownAnswerFailures();
  for (const std::string& failure : failures) std::printf("FAIL: %s\n", failure.c_str());
  // msvcrt's printf, as on Windows XP, knows no %zu.
  std::printf("%u known-answer failure(s)\n", static_cast<unsigned>(failures.size()));
  return failures.empty() ? 0 : 1;
}
