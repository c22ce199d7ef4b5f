// Which owners and access lists make a state file the run may act on.
#include "platform/trust.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

constexpr uint32_t kReadExecute = 0x1200a9;  // what the system gives readers
constexpr uint32_t kFullAccess = 0x1f01ff;
constexpr uint32_t kWriteAttributes = 0x100;

AccessEntry Allow(Principal who, uint32_t mask, bool inherited = false, bool inherit_only = false) {
  return AccessEntry{who, L"S-1-5-32-545", true, mask, inherited, inherit_only};
}
AccessEntry Deny(Principal who, uint32_t mask) {
  return AccessEntry{who, L"S-1-1-0", false, mask, false, false};
}
Ownership Owned(Principal owner, std::vector<AccessEntry> entries, bool has_list = true) {
  return Ownership{owner, L"S-1-5-7", has_list, std::move(entries)};
}

TEST(TrustTest, OnlyAnAdministratorsFileThatNoOneElseMayChangeIsTrusted) {
  struct Row {
    const char* label;
    Ownership ownership;
    const wchar_t* refused;  // a part of the reason, or null when trusted
  };
  const Principal other = Principal::kOther;
  const Principal admins = Principal::kAdministrators;
  const Row rows[] = {
      // What the run itself makes, elevated or not.
      {"the run's, elevated",
       Owned(admins, {Allow(admins, kFullAccess), Allow(Principal::kSystem, kFullAccess)}),
       nullptr},
      {"the run's user", Owned(Principal::kRunUser, {Allow(Principal::kRunUser, kFullAccess)}),
       nullptr},
      {"the system's", Owned(Principal::kSystem, {}), nullptr},
      {"an empty list", Owned(admins, {}), nullptr},
      {"others may read", Owned(admins, {Allow(other, kReadExecute)}), nullptr},
      {"others may set attributes", Owned(admins, {Allow(other, kWriteAttributes)}), nullptr},
      // A deny entry grants nothing; an entry for what is made below a
      // folder grants nothing on the folder itself.
      {"others denied writing", Owned(admins, {Deny(other, kFullAccess)}), nullptr},
      {"inherit only", Owned(admins, {Allow(other, kFullAccess, true, true)}), nullptr},
      {"an administrators' entry inherited", Owned(admins, {Allow(admins, kFullAccess, true)}),
       nullptr},
      // Written by someone else.
      {"another owner", Owned(other, {Allow(admins, kFullAccess)}), L"its owner is S-1-5-7"},
      {"no access list", Owned(admins, {}, false), L"no access list"},
      // Others may change it, by any one right.
      {"others may write", Owned(admins, {Allow(other, kWriteData)}), L"S-1-5-32-545 may change"},
      {"others may append", Owned(admins, {Allow(other, kAppendData)}), L"may change"},
      {"others may delete", Owned(admins, {Allow(other, kDelete)}), L"may change"},
      {"others may change the list", Owned(admins, {Allow(other, kWriteDac)}), L"may change"},
      {"others may take it", Owned(admins, {Allow(other, kWriteOwner)}), L"may change"},
      {"others may remove entries", Owned(admins, {Allow(other, kDeleteChild)}), L"may change"},
      {"generic write", Owned(admins, {Allow(other, kGenericWrite)}), L"may change"},
      {"generic all", Owned(admins, {Allow(other, kGenericAll)}), L"may change"},
      {"modify, as Wine shows mode 0666", Owned(admins, {Allow(other, 0x1301ff)}), L"may change"},
      {"inherited from the folder", Owned(admins, {Allow(other, kWriteData, true)}),
       L"inherited from its folder"},
      {"denied first, allowed after",
       Owned(admins, {Deny(other, kWriteData), Allow(other, kWriteData)}), L"may change"},
      // POSIX: owned by the run or by root, written by its owner alone.
      {"mode: the run's", OwnershipOfMode(1000, 1000, 0100600, 1000), nullptr},
      {"mode: root's, readable", OwnershipOfMode(0, 0, 0100644, 1000), nullptr},
      {"mode: group may read", OwnershipOfMode(0, 100, 0100640, 0), nullptr},
      {"mode: another user's", OwnershipOfMode(1000, 1000, 0100600, 0), L"its owner is uid 1000"},
      {"mode: group may write", OwnershipOfMode(0, 100, 0100660, 0),
       L"group 100 (mode 0660) may change"},
      {"mode: everyone may write", OwnershipOfMode(0, 0, 0100602, 0),
       L"everyone (mode 0602) may change"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    const TrustVerdict verdict = JudgeOwnership(row.ownership);
    EXPECT_EQ(verdict.trusted, row.refused == nullptr) << verdict.why;
    if (row.refused != nullptr) {
      EXPECT_NE(verdict.why.find(row.refused), std::wstring::npos) << verdict.why;
    }
  }
}

}  // namespace
}  // namespace kestrune
