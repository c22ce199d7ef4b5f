#include "platform/win32/trust_win32.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kestrune::win32 {
namespace {

// The SIDs that trust is told against, read once from the run's token.
struct Principals {
  std::vector<BYTE> user;    // the token's user
  std::vector<BYTE> admins;  // S-1-5-32-544
  std::vector<BYTE> system;  // S-1-5-18
  bool elevated = false;     // the administrators enabled in the token
  DWORD error = ERROR_SUCCESS;
};

std::vector<BYTE> CopyOf(PSID sid) {
  const BYTE* bytes = static_cast<const BYTE*>(sid);
  return std::vector<BYTE>(bytes, bytes + GetLengthSid(sid));
}

std::vector<BYTE> WellKnown(BYTE count, DWORD first, DWORD second) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID sid = nullptr;
  if (!AllocateAndInitializeSid(&nt, count, first, second, 0, 0, 0, 0, 0, 0, &sid)) return {};
  std::vector<BYTE> copy = CopyOf(sid);
  FreeSid(sid);
  return copy;
}

const Principals& Known() {
  static const Principals known = [] {
    Principals p;
    p.admins = WellKnown(2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS);
    p.system = WellKnown(1, SECURITY_LOCAL_SYSTEM_RID, 0);
    if (p.admins.empty() || p.system.empty()) {
      p.error = GetLastError();
      return p;
    }
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
      p.error = GetLastError();
      return p;
    }
    ScopedHandle held(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    // DWORDs, so that the structure the token writes is aligned.
    std::vector<DWORD> buffer(size / sizeof(DWORD) + 1);
    if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(),
                                          static_cast<DWORD>(buffer.size() * sizeof(DWORD)),
                                          &size)) {
      p.error = GetLastError();
      return p;
    }
    p.user = CopyOf(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
    // Enabled only in an elevated token: under UAC the filtered one holds
    // the group for denying alone.
    BOOL member = FALSE;
    p.elevated = CheckTokenMembership(nullptr, p.admins.data(), &member) && member;
    return p;
  }();
  return known;
}

bool Is(PSID sid, const std::vector<BYTE>& known) {
  return !known.empty() && EqualSid(sid, const_cast<BYTE*>(known.data()));
}

Principal Classify(PSID sid) {
  const Principals& known = Known();
  if (Is(sid, known.user)) return Principal::kRunUser;
  if (Is(sid, known.admins)) return Principal::kAdministrators;
  if (Is(sid, known.system)) return Principal::kSystem;
  return Principal::kOther;
}

// "S-1-5-21-...", as the system spells a SID, for the log.
std::wstring SidText(PSID sid) {
  if (!IsValidSid(sid)) return L"an invalid SID";
  const SID_IDENTIFIER_AUTHORITY* authority = GetSidIdentifierAuthority(sid);
  uint64_t value = 0;
  for (BYTE part : authority->Value) value = (value << 8) | part;
  std::wstring text = L"S-1-" + std::to_wstring(value);
  const UCHAR count = *GetSidSubAuthorityCount(sid);
  for (UCHAR i = 0; i < count; ++i) text += L"-" + std::to_wstring(*GetSidSubAuthority(sid, i));
  return text;
}

std::wstring Hex(DWORD value) {
  wchar_t digits[12];
  int n = 0;
  do {
    digits[n++] = L"0123456789abcdef"[value & 0xF];
    value >>= 4;
  } while (value != 0);
  std::wstring text = L"0x";
  while (n > 0) text += digits[--n];
  return text;
}

// ACE kinds, numbered as the system numbers them: those that name their SID
// right after the mask, and those that deny.
constexpr BYTE kAllowed = 0, kDenied = 1, kDeniedObject = 6, kAllowedCallback = 9,
               kDeniedCallback = 10, kDeniedCallbackObject = 12;

}  // namespace

DWORD OwnershipOfHandle(HANDLE handle, Ownership* ownership) {
  const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD size = 0;
  GetKernelObjectSecurity(handle, wanted, nullptr, 0, &size);
  if (size == 0) return GetLastError();
  std::vector<DWORD> buffer(size / sizeof(DWORD) + 1);
  if (!GetKernelObjectSecurity(handle, wanted, buffer.data(),
                               static_cast<DWORD>(buffer.size() * sizeof(DWORD)), &size)) {
    return GetLastError();
  }
  PSECURITY_DESCRIPTOR descriptor = buffer.data();
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  BOOL present = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
      !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
    return GetLastError();
  }
  *ownership = Ownership();
  ownership->owner = owner != nullptr ? Classify(owner) : Principal::kOther;
  ownership->owner_name = owner != nullptr ? SidText(owner) : L"nobody";
  // No access list at all, as a NULL one, lets everyone do anything.
  ownership->has_access_list = present && dacl != nullptr;
  if (!ownership->has_access_list) return ERROR_SUCCESS;
  ACL_SIZE_INFORMATION info;
  if (!GetAclInformation(dacl, &info, sizeof info, AclSizeInformation)) return GetLastError();
  for (DWORD i = 0; i < info.AceCount; ++i) {
    void* raw = nullptr;
    if (!GetAce(dacl, i, &raw)) return GetLastError();
    const auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
    const BYTE kind = ace->Header.AceType;
    AccessEntry entry;
    // Every kind keeps its mask right after its header; one of a kind not
    // known here counts as allowing someone unknown what its mask says.
    entry.mask = ace->Mask;
    entry.allow = kind != kDenied && kind != kDeniedObject && kind != kDeniedCallback &&
                  kind != kDeniedCallbackObject;
    entry.inherited = (ace->Header.AceFlags & INHERITED_ACE) != 0;
    entry.inherit_only = (ace->Header.AceFlags & INHERIT_ONLY_ACE) != 0;
    if (kind == kAllowed || kind == kDenied || kind == kAllowedCallback ||
        kind == kDeniedCallback) {
      PSID sid = const_cast<DWORD*>(&ace->SidStart);
      entry.who = Classify(sid);
      entry.name = SidText(sid);
    } else {
      entry.name = L"an entry of kind " + std::to_wstring(kind);
    }
    entry.name += L" (rights " + Hex(entry.mask) + L")";
    ownership->entries.push_back(std::move(entry));
  }
  return ERROR_SUCCESS;
}

SECURITY_DESCRIPTOR* OwnFileSecurity() {
  struct Built {
    DWORD error = ERROR_SUCCESS;
    SECURITY_DESCRIPTOR descriptor;
    std::vector<DWORD> acl;  // DWORD aligned, as an ACL must be
  };
  // Built in place, once: the descriptor points into the access list.
  static Built built;
  static const bool ready = [] {
    Built& b = built;
    const Principals& known = Known();
    b.error = known.error;
    if (b.error != ERROR_SUCCESS) return true;
    std::vector<const std::vector<BYTE>*> granted{&known.admins, &known.system};
    const std::vector<BYTE>& owner = known.elevated ? known.admins : known.user;
    if (!known.elevated) granted.insert(granted.begin(), &known.user);
    DWORD size = sizeof(ACL);
    for (const auto* sid : granted) {
      size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + static_cast<DWORD>(sid->size());
    }
    b.acl.resize(size / sizeof(DWORD) + 1);
    PACL acl = reinterpret_cast<PACL>(b.acl.data());
    bool made = InitializeAcl(acl, static_cast<DWORD>(b.acl.size() * sizeof(DWORD)), ACL_REVISION);
    for (const auto* sid : granted) {
      made = made && AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS,
                                         const_cast<BYTE*>(sid->data()));
    }
    // Protected: nothing the folder grants (to its users, say) is inherited.
    made = made && InitializeSecurityDescriptor(&b.descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorOwner(&b.descriptor, const_cast<BYTE*>(owner.data()), FALSE) &&
           SetSecurityDescriptorDacl(&b.descriptor, TRUE, acl, FALSE) &&
           SetSecurityDescriptorControl(&b.descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    if (!made) b.error = GetLastError();
    return true;
  }();
  (void)ready;
  if (built.error != ERROR_SUCCESS) {
    SetLastError(built.error);
    return nullptr;
  }
  return &built.descriptor;
}

}  // namespace kestrune::win32
