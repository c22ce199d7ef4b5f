/* A stand-in for the product's version-information library. The entry point
 * copies the bytes of VoUInfo.bin (the version text the test wants reported,
 * 8-bit or UTF-16) into the caller's buffer and appends the arguments it got
 * to VoUInfo.log, both files beside the library itself. Before that it
 * appends "who ADMIN PRIVILEGES INTEGRITY ADMINS_ATTRIBUTES HKLM_WRITE", the
 * rights it runs with as far as the system shows them: whether it is a member
 * of the Administrators group (CheckTokenMembership), how many privileges
 * its token holds, its integrity level's RID (or "none"), the attributes of
 * the Administrators group in its token (hex, or "absent"), and whether it
 * could create a key under HKEY_LOCAL_MACHINE\Software.
 * A version text starting with '!' names a misbehaviour instead: "!fault"
 * writes through a null pointer, "!hang" never returns, "!spawn TEXT" starts
 * a process that waits for a minute, records "spawned PID", and reports TEXT.
 * Exported by ordinal only; which ordinal is chosen by the .def file it is
 * linked with. */
/* UNICODE and WIN32_LEAN_AND_MEAN come from the build. */
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#define kMaxVersionBytes 40

static HMODULE g_self;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) g_self = instance;
  return TRUE;
}

/* `name` beside this library's own file. */
static int SiblingPath(const wchar_t *name, wchar_t *path, DWORD capacity) {
  DWORD n = GetModuleFileNameW(g_self, path, capacity);
  if (n == 0 || n >= capacity) return 0;
  wchar_t *slash = wcsrchr(path, L'\\');
  wchar_t *base = slash ? slash + 1 : path;
  if ((size_t)(base - path) + wcslen(name) + 1 > capacity) return 0;
  wcscpy(base, name);
  return 1;
}

static void Record(const char *line) {
  wchar_t path[1024];
  if (!SiblingPath(L"VoUInfo.log", path, 1024)) return;
  FILE *log = _wfopen(path, L"ab");
  if (!log) return;
  fputs(line, log);
  fclose(log);
}

static void RecordRights(void) {
  char line[256];
  BYTE admins[SECURITY_MAX_SID_SIZE];
  DWORD admins_size = sizeof admins;
  BOOL member = FALSE;
  if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, admins, &admins_size) ||
      !CheckTokenMembership(NULL, admins, &member)) {
    member = 2; /* could not tell */
  }
  HANDLE token = NULL;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  BYTE info[8192];
  DWORD size = 0;
  unsigned privileges = 9999;
  if (GetTokenInformation(token, TokenPrivileges, info, sizeof info, &size)) {
    privileges = ((TOKEN_PRIVILEGES *)info)->PrivilegeCount;
  }
  char integrity[16] = "none";
  if (GetTokenInformation(token, TokenIntegrityLevel, info, sizeof info, &size)) {
    PSID label = ((TOKEN_MANDATORY_LABEL *)info)->Label.Sid;
    snprintf(integrity, sizeof integrity, "%lu",
             (unsigned long)*GetSidSubAuthority(label, *GetSidSubAuthorityCount(label) - 1));
  }
  char group[16] = "absent";
  if (GetTokenInformation(token, TokenGroups, info, sizeof info, &size)) {
    TOKEN_GROUPS *groups = (TOKEN_GROUPS *)info;
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
      if (EqualSid(groups->Groups[i].Sid, admins)) {
        snprintf(group, sizeof group, "0x%lx", (unsigned long)groups->Groups[i].Attributes);
      }
    }
  }
  HKEY key = NULL;
  LONG made = RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\KestruneProbeTest", 0, NULL, 0,
                              KEY_WRITE, NULL, &key, NULL);
  if (made == ERROR_SUCCESS) {
    RegCloseKey(key);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"Software\\KestruneProbeTest");
  }
  snprintf(line, sizeof line, "who %d %u %s %s %d\n", (int)member, privileges, integrity, group,
           made == ERROR_SUCCESS);
  Record(line);
  if (token) CloseHandle(token);
}

int __stdcall VersionEntry(void *buffer, int size, int flags) {
  char line[64];
  RecordRights();
  snprintf(line, sizeof line, "%d %d %d\n", size, flags, buffer != NULL);
  Record(line);
  wchar_t path[1024];
  unsigned char bytes[kMaxVersionBytes + 1] = {0};
  size_t got = 0;
  if (SiblingPath(L"VoUInfo.bin", path, 1024)) {
    FILE *bin = _wfopen(path, L"rb");
    if (bin) {
      got = fread(bytes, 1, kMaxVersionBytes, bin);
      fclose(bin);
    }
  }
  const char *text = (const char *)bytes;
  if (strcmp(text, "!fault") == 0) *(volatile int *)0 = 1;
  if (strcmp(text, "!hang") == 0) Sleep(INFINITE);
  if (strncmp(text, "!spawn ", 7) == 0) {
    /* A program every Windows has that waits without a window. */
    wchar_t command[] = L"ping.exe -n 61 127.0.0.1";
    STARTUPINFOW si;
    PROCESS_INFORMATION pi;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    if (CreateProcessW(NULL, command, NULL, NULL, FALSE, CREATE_NO_WINDOW, NULL, NULL, &si,
                       &pi)) {
      snprintf(line, sizeof line, "spawned %lu\n", (unsigned long)pi.dwProcessId);
      Record(line);
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
    }
    got -= 7;
    memmove(bytes, bytes + 7, got);
  }
  if (buffer) memcpy(buffer, bytes, got);
  return 1;
}
