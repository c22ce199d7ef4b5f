/* The least a Windows program can do for the updater's work, to time it
 * against under Wine: bench/wine_replace_bench.py builds and runs it.
 *
 *   wine_floor <plain|safe|safe-unchecked> <package> <installation> <backup suffix>
 *
 * Both kinds list the package first (FindFirstFileW/FindNextFileW, folders
 * present on both sides only) and keep every packaged file whose counterpart
 * is an installed file. "plain" then moves each installed file to its backup
 * name and copies the packaged one in with CopyFileW: nothing survives a
 * stop. "safe" keeps the updater's protocol and nothing more: a journal
 * written whole and flushed, each copy written under a temporary name and
 * flushed on its own handle, a hard link to the backup name, the copy moved
 * over the installed name, the commit line flushed, the journal removed.
 * "safe" adds what the updater needs for safety under Wine, where a host
 * link to a file shows as a plain file: the final path of the packaged
 * file's handle and of the installed file's, opened just before its hard
 * link, checked to be the path named. "safe-unchecked" is the floor of
 * earlier measurements without them.
 * Any failure ends the run with status 1 and names the call and the path. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

struct item {
  wchar_t *from, *to; /* packaged and installed paths */
  DWORD size;
  FILETIME written;
};
static struct item *items;
static size_t count, room;

static void Die(const char *call, const wchar_t *path) {
  fprintf(stderr, "wine_floor: %s %ls: error %lu\n", call, path, GetLastError());
  exit(1);
}

static wchar_t *Join(const wchar_t *a, const wchar_t *b, const wchar_t *c) {
  size_t n = wcslen(a) + wcslen(b) + wcslen(c) + 1;
  wchar_t *s = malloc(n * sizeof *s);
  _snwprintf(s, n, L"%ls%ls%ls", a, b, c);
  return s;
}

static void Walk(const wchar_t *pkg, const wchar_t *inst) {
  wchar_t *pattern = Join(pkg, L"\\*", L"");
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(pattern, &found);
  if (find == INVALID_HANDLE_VALUE) Die("FindFirstFileW", pattern);
  do {
    const wchar_t *name = found.cFileName;
    if (!wcscmp(name, L".") || !wcscmp(name, L"..") || wcsstr(name, L"Kestrune")) continue;
    wchar_t *from = Join(pkg, L"\\", name), *to = Join(inst, L"\\", name);
    DWORD there = GetFileAttributesW(to);
    int folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (there != INVALID_FILE_ATTRIBUTES && folder == ((there & FILE_ATTRIBUTE_DIRECTORY) != 0)) {
      if (folder) {
        Walk(from, to);
      } else {
        if (count == room) items = realloc(items, (room = room ? room * 2 : 1024) * sizeof *items);
        items[count++] = (struct item){from, to, found.nFileSizeLow, found.ftLastWriteTime};
        continue;
      }
    }
    free(from);
    free(to);
  } while (FindNextFileW(find, &found));
  if (GetLastError() != ERROR_NO_MORE_FILES) Die("FindNextFileW", pattern);
  FindClose(find);
  free(pattern);
}

static void WriteAll(HANDLE h, const void *data, DWORD size, const wchar_t *path) {
  DWORD wrote = 0;
  if (!WriteFile(h, data, size, &wrote, NULL) || wrote != size) Die("WriteFile", path);
}

static int checked;

/* Under Wine a host link opens its target: only the handle's final path
   tells that the name led elsewhere. */
static void CheckFinalPath(HANDLE h, const wchar_t *path) {
  static DWORD(WINAPI * final_path)(HANDLE, LPWSTR, DWORD, DWORD);
  if (!final_path) {
    final_path = (DWORD(WINAPI *)(HANDLE, LPWSTR, DWORD, DWORD))(void (*)(void))GetProcAddress(
        GetModuleHandleW(L"kernel32.dll"), "GetFinalPathNameByHandleW");
    if (!final_path) Die("GetProcAddress", L"GetFinalPathNameByHandleW");
  }
  wchar_t real[MAX_PATH * 2];
  const DWORD n = final_path(h, real, MAX_PATH * 2, 0);
  if (n == 0 || n >= MAX_PATH * 2) Die("GetFinalPathNameByHandleW", path);
  const wchar_t *plain = wcsncmp(real, L"\\\\?\\", 4) == 0 ? real + 4 : real;
  if (_wcsicmp(plain, path) != 0) {
    SetLastError(ERROR_BAD_PATHNAME);
    Die("final path differs", path);
  }
}

/* Copies `from` to the new file `to` and flushes it before closing. */
static void CopyFlushed(const wchar_t *from, const wchar_t *to) {
  static char block[1 << 16];
  HANDLE in = CreateFileW(from, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                          FILE_FLAG_SEQUENTIAL_SCAN, NULL);
  if (in == INVALID_HANDLE_VALUE) Die("CreateFileW", from);
  if (checked) CheckFinalPath(in, from);
  HANDLE out = CreateFileW(to, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
  if (out == INVALID_HANDLE_VALUE) Die("CreateFileW", to);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in, block, sizeof block, &got, NULL)) Die("ReadFile", from);
    if (got == 0) break;
    WriteAll(out, block, got, to);
  }
  if (!FlushFileBuffers(out)) Die("FlushFileBuffers", to);
  CloseHandle(out);
  CloseHandle(in);
}

static void WriteJournal(const wchar_t *inst, const wchar_t *suffix) {
  size_t size = 64 + wcslen(suffix) * 3, used;
  for (size_t i = 0; i < count; ++i) size += wcslen(items[i].to) * 3 + 64;
  char *text = malloc(size);
  used = (size_t)snprintf(text, size, "floor journal\n%ls\n", suffix);
  for (size_t i = 0; i < count; ++i) {
    used += (size_t)snprintf(text + used, size - used, "%ls\t%lu %lu %lu\n", items[i].to,
                             items[i].size, items[i].written.dwHighDateTime,
                             items[i].written.dwLowDateTime);
  }
  wchar_t *draft = Join(inst, L"\\floor.journal.new", L""), *journal = Join(inst, L"\\floor.journal", L"");
  HANDLE h = CreateFileW(draft, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) Die("CreateFileW", draft);
  WriteAll(h, text, (DWORD)used, draft);
  if (!FlushFileBuffers(h)) Die("FlushFileBuffers", draft);
  CloseHandle(h);
  if (!MoveFileExW(draft, journal, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    Die("MoveFileExW", draft);
  free(text);
  free(draft);
  free(journal);
}

static void Commit(const wchar_t *inst) {
  wchar_t *journal = Join(inst, L"\\floor.journal", L"");
  HANDLE h = CreateFileW(journal, FILE_APPEND_DATA, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) Die("CreateFileW", journal);
  WriteAll(h, "commit\n", 7, journal);
  if (!FlushFileBuffers(h)) Die("FlushFileBuffers", journal);
  CloseHandle(h);
  if (!DeleteFileW(journal)) Die("DeleteFileW", journal);
  free(journal);
}

int wmain(int argc, wchar_t **argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: wine_floor <plain|safe|safe-unchecked> <package> <installation> "
                    "<backup suffix>\n");
    return 2;
  }
  int safe = !wcsncmp(argv[1], L"safe", 4);
  checked = !wcscmp(argv[1], L"safe");
  const wchar_t *inst = argv[3], *suffix = argv[4];
  Walk(argv[2], inst);
  if (safe) WriteJournal(inst, suffix);
  for (size_t i = 0; i < count; ++i) {
    const struct item *it = &items[i];
    wchar_t *backup = Join(it->to, suffix, L"");
    if (safe) {
      wchar_t *fresh = Join(it->to, L".~floor-new", L"");
      CopyFlushed(it->from, fresh);
      if (checked) {
        HANDLE h = CreateFileW(it->to, FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
        if (h == INVALID_HANDLE_VALUE) Die("CreateFileW", it->to);
        CheckFinalPath(h, it->to);
        CloseHandle(h);
      }
      if (!CreateHardLinkW(backup, it->to, NULL)) Die("CreateHardLinkW", backup);
      if (!MoveFileExW(fresh, it->to, MOVEFILE_REPLACE_EXISTING)) Die("MoveFileExW", fresh);
      free(fresh);
    } else {
      if (!MoveFileW(it->to, backup)) Die("MoveFileW", it->to);
      if (!CopyFileW(it->from, it->to, TRUE)) Die("CopyFileW", it->from);
    }
    free(backup);
  }
  if (safe) Commit(inst);
  return 0;
}
