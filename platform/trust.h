// Who may have written a file of the updater's own state, and who else may
// change it. An elevated run acts on such a file (its journal, say) only when
// an administrator could have written it and nobody else can change it: in
// an installation folder that ordinary users may write, anything else could
// be a user's way to make the run act for them. The back-ends describe what
// the system says of a file they hold open in these terms; the decision is
// made here, alike for both systems.
#ifndef KESTRUNE_PLATFORM_TRUST_H_
#define KESTRUNE_PLATFORM_TRUST_H_

#include <cstdint>
#include <string>
#include <vector>

namespace kestrune {

// Who an owner or an access entry names, as far as trust goes.
enum class Principal {
  kRunUser,         // the account the run itself runs as
  kAdministrators,  // the Administrators group
  kSystem,          // the system account (root on POSIX)
  kOther,           // anyone else, or a group of them
};

// Rights that change a file or folder, in the bits Windows gives them: its
// content (write, append; for a folder, new entries and removed ones), the
// file itself (delete) or who may do any of that (its access list, its
// owner), and the generic rights that include them. POSIX write bits map to
// all of them.
inline constexpr uint32_t kWriteData = 0x2;        // FILE_WRITE_DATA, FILE_ADD_FILE
inline constexpr uint32_t kAppendData = 0x4;       // FILE_APPEND_DATA, FILE_ADD_SUBDIRECTORY
inline constexpr uint32_t kDeleteChild = 0x40;     // FILE_DELETE_CHILD
inline constexpr uint32_t kDelete = 0x10000;       // DELETE
inline constexpr uint32_t kWriteDac = 0x40000;     // WRITE_DAC
inline constexpr uint32_t kWriteOwner = 0x80000;   // WRITE_OWNER
inline constexpr uint32_t kGenericAll = 0x10000000;
inline constexpr uint32_t kGenericWrite = 0x40000000;
inline constexpr uint32_t kChangeRights = kWriteData | kAppendData | kDeleteChild | kDelete |
                                          kWriteDac | kWriteOwner | kGenericAll | kGenericWrite;

// One entry of an access list.
struct AccessEntry {
  Principal who = Principal::kOther;
  std::wstring name;  // for the log: a SID's text and the rights, "group 100 (mode 0664)"
  bool allow = true;  // false: a deny entry, which grants nothing
  uint32_t mask = 0;
  bool inherited = false;     // came from the folder, which says who else may write there
  bool inherit_only = false;  // only for what is made below a folder: not on it
};

// What the system says of one file or folder opened by the run.
struct Ownership {
  Principal owner = Principal::kOther;
  std::wstring owner_name;  // for the log
  // False for a missing access list (Windows' NULL DACL): everyone may do
  // anything with the file.
  bool has_access_list = true;
  std::vector<AccessEntry> entries;
};

struct TrustVerdict {
  bool trusted = false;
  std::wstring why;  // the rule broken, naming whom, for the log; "" when trusted
};

// Trusted when the owner is the run's own account, the administrators or
// the system, and no entry allows anyone else a right in kChangeRights.
// Deny entries are passed over: an allow entry after them may still grant
// what they deny, and the run's own files never need one.
TrustVerdict JudgeOwnership(const Ownership& ownership);

// A POSIX file's owner and mode in the same terms: owned by `effective_uid`
// (the run) or by root, and written by its owner alone. A write bit for the
// group or for others is an entry for them; with an extended access list the
// group's bits stand for its widest entry, so none is missed.
Ownership OwnershipOfMode(uint32_t uid, uint32_t gid, uint32_t mode, uint32_t effective_uid);

}  // namespace kestrune

#endif  // KESTRUNE_PLATFORM_TRUST_H_
