#include "platform/trust.h"

namespace kestrune {
namespace {

bool MayBeTrusted(Principal who) { return who != Principal::kOther; }

std::wstring Octal(uint32_t value) {
  std::wstring text;
  for (int shift = 9; shift >= 0; shift -= 3) {
    text += static_cast<wchar_t>(L'0' + ((value >> shift) & 7));
  }
  return text;
}

}  // namespace

TrustVerdict JudgeOwnership(const Ownership& ownership) {
  TrustVerdict verdict;
  if (!MayBeTrusted(ownership.owner)) {
    verdict.why = L"its owner is " + ownership.owner_name +
                  L", not this run's account, the administrators or the system";
    return verdict;
  }
  if (!ownership.has_access_list) {
    verdict.why = L"it has no access list, so everyone may change it";
    return verdict;
  }
  for (const AccessEntry& entry : ownership.entries) {
    if (!entry.allow || entry.inherit_only || MayBeTrusted(entry.who)) continue;
    if ((entry.mask & kChangeRights) != 0) {
      verdict.why = entry.name + L" may change it" +
                    (entry.inherited ? L" (an entry inherited from its folder)" : L"") +
                    L", where only its owner, the administrators and the system may";
      return verdict;
    }
  }
  verdict.trusted = true;
  return verdict;
}

Ownership OwnershipOfMode(uint32_t uid, uint32_t gid, uint32_t mode, uint32_t effective_uid) {
  Ownership ownership;
  ownership.owner = uid == effective_uid ? Principal::kRunUser
                    : uid == 0           ? Principal::kSystem
                                         : Principal::kOther;
  ownership.owner_name = L"uid " + std::to_wstring(uid);
  const std::wstring mode_text = L" (mode " + Octal(mode & 07777) + L")";
  if ((mode & 020) != 0) {
    ownership.entries.push_back(AccessEntry{Principal::kOther,
                                            L"group " + std::to_wstring(gid) + mode_text, true,
                                            kChangeRights, false, false});
  }
  if ((mode & 002) != 0) {
    ownership.entries.push_back(
        AccessEntry{Principal::kOther, L"everyone" + mode_text, true, kChangeRights, false, false});
  }
  return ownership;
}

}  // namespace kestrune
