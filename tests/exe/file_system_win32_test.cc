// Checks the Windows file-system back-end from inside, on files in the
// current folder, in rows: prints each failure and exits 1, or exits 0. Run
// under Wine by the win32 build's tests, for what the end-to-end suite cannot
// see there.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "platform/platform.h"
#include "platform/win32/ntdll_win32.h"
#include "platform/win32/win32_backend.h"
#include "platform/win32/windows_h.h"

namespace {

using kestrune::FileStatus;
using kestrune::OwnFile;
using kestrune::win32::Win32FileSystem;

int failures = 0;

void Fail(const char* label, const char* what, unsigned long detail) {
  std::printf("FAIL: %s: %s (%lu)\n", label, what, detail);
  ++failures;
}

std::wstring Here(const wchar_t* name) {
  wchar_t folder[MAX_PATH];
  const DWORD length = GetCurrentDirectoryW(MAX_PATH, folder);
  return std::wstring(folder, length) + L"\\" + name;
}

// On the prefix's own drive C:, whose volume opens for a flush (and refuses
// it), where the build folder's Z: does not even open.
std::wstring OnDriveC(const wchar_t* name) {
  wchar_t folder[MAX_PATH];
  const DWORD length = GetTempPathW(MAX_PATH, folder);
  return std::wstring(folder, length) + name;
}

void Clear(const std::wstring& path) {
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(path.c_str());
}

bool WriteFile(const std::wstring& path, const char* bytes) {
  Clear(path);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = ::WriteFile(file, bytes, static_cast<DWORD>(std::strlen(bytes)), &written,
                              nullptr) != 0;
  CloseHandle(file);
  return ok;
}

uint64_t IndexOf(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return 0;
  return (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}

uint64_t IndexOf(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  const uint64_t index = file == INVALID_HANDLE_VALUE ? 0 : IndexOf(file);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return index;
}

// The files this process flushed, by file index: its own import of
// FlushFileBuffers is pointed at a stand-in that notes the file and flushes.
std::set<uint64_t> flushed;
BOOL(WINAPI* real_flush)(HANDLE) = nullptr;

BOOL WINAPI NotedFlush(HANDLE file) {
  flushed.insert(IndexOf(file));
  return real_flush(file);
}

bool NoteFlushes() {
  const FARPROC target =
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "FlushFileBuffers");
  auto* base = reinterpret_cast<uint8_t*>(GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  bool found = false;
  for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       entry->Name != 0; ++entry) {
    for (auto* thunk = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
         thunk->u1.Function != 0; ++thunk) {
      if (reinterpret_cast<FARPROC>(thunk->u1.Function) != target) continue;
      DWORD was = 0;
      if (!VirtualProtect(&thunk->u1.Function, sizeof thunk->u1.Function, PAGE_READWRITE, &was)) {
        return false;
      }
      real_flush = reinterpret_cast<BOOL(WINAPI*)(HANDLE)>(thunk->u1.Function);
      thunk->u1.Function = reinterpret_cast<uintptr_t>(&NotedFlush);
      VirtualProtect(&thunk->u1.Function, sizeof thunk->u1.Function, was, &was);
      found = true;
    }
  }
  return found;
}

// Zero in the NT attribute call means "leave them". Wine reports the archive
// bit on every file, so no run there asks for none; these rows ask directly.
void AttributeRows() {
  struct Row {
    const char* label;
    bool read_only_before;
    DWORD given;
    bool read_only_after;
  };
  const Row rows[] = {
      // What the removal of a read-only file asks when that was its only
      // attribute: none left.
      {"none, from read-only", true, 0, false},
      {"archive alone, from read-only", true, FILE_ATTRIBUTE_ARCHIVE, false},
      {"read-only, from none", false, FILE_ATTRIBUTE_READONLY, true},
  };
  const std::wstring name = Here(L"attributes.tmp");
  for (const Row& row : rows) {
    if (!WriteFile(name, "x")) return Fail(row.label, "cannot make the file", GetLastError());
    if (row.read_only_before) SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_READONLY);
    HANDLE file = CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    const DWORD set = kestrune::win32::SetAttributes(file, row.given);
    CloseHandle(file);
    const DWORD after = GetFileAttributesW(name.c_str());
    const bool read_only = after != INVALID_FILE_ATTRIBUTES && (after & FILE_ATTRIBUTE_READONLY);
    if (set != ERROR_SUCCESS) Fail(row.label, "the call failed", set);
    if (read_only != row.read_only_after) Fail(row.label, "attributes now", after);
  }
  Clear(name);
}

// A copy made as a step makes it: by name, from the package's folder into
// the installation's, both held.
bool CopyAsAStep(Win32FileSystem& files, const std::wstring& path, const std::wstring& source) {
  const size_t from = source.rfind(L'\\') + 1;
  const size_t to = path.rfind(L'\\') + 1;
  const std::unique_ptr<kestrune::Folder> package = files.HoldFolder(source.substr(0, from));
  const std::unique_ptr<kestrune::Folder> installation = files.HoldFolder(path.substr(0, to));
  return files.CopyNewIn(*package, source.substr(from), *installation, path.substr(to), nullptr)
      .ok();
}

// What the power-loss model takes on trust: each call that promises
// durability flushes the very file it names; and a copy is left to the
// volume's one flush only where the volume opens for it, which Wine's never
// flushes.
void DurabilityRows() {
  struct Row {
    const char* label;
    // Makes the file at `path` through the back-end; false when it fails.
    bool (*make)(Win32FileSystem& files, const std::wstring& path, const std::wstring& source);
    bool windows = false;  // the checks Windows takes, forced under Wine
    bool flushed = true;   // the file flushed on its own, and CopiesDurable
  };
  const Row rows[] = {
      {"a copy, before it is renamed in",
       [](Win32FileSystem& files, const std::wstring& path, const std::wstring& source) {
         return files.CopyNew(source, path, nullptr).ok();
       }},
      {"a step's copy under Wine", CopyAsAStep},
      {"a step's copy on Windows, where the volume opens for its flush", CopyAsAStep, true,
       false},
      {"a journal part",
       [](Win32FileSystem& files, const std::wstring& path, const std::wstring&) {
         std::unique_ptr<OwnFile> own;
         return files.CreateOwn(path, &own).ok() && own->AppendDurably("plan\n").ok();
       }},
      {"a new file written whole",
       [](Win32FileSystem& files, const std::wstring& path, const std::wstring&) {
         return files.WriteNew(path, "list\n").ok();
       }},
      // The undo flushes the installed file it moved back, read-only or not
      // (Wine run as root opens a read-only file for writing all the same:
      // the way round the attribute is not reached here).
      {"a read-only file moved back",
       [](Win32FileSystem& files, const std::wstring& path, const std::wstring&) {
         if (!WriteFile(path, "old") || !SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY)) {
           return false;
         }
         flushed.clear();
         return files.FlushFile(path).ok();
       }},
  };
  // As in a run: the installation confined, the package read from.
  const std::wstring package = OnDriveC(L"pkg.tmp");
  const std::wstring installation = OnDriveC(L"inst.tmp");
  CreateDirectoryW(package.c_str(), nullptr);
  CreateDirectoryW(installation.c_str(), nullptr);
  const std::wstring source = package + L"\\source";
  const std::wstring path = installation + L"\\flushed";
  if (!WriteFile(source, "packaged bytes")) return Fail("durability", "no source", GetLastError());
  for (const Row& row : rows) {
    Clear(path);
    flushed.clear();
    kestrune::win32::ForceWindowsChecksForTests(row.windows);
    bool durable = false;
    {
      Win32FileSystem files;
      if (!files.Confine(package, installation).ok() || !row.make(files, path, source)) {
        Fail(row.label, "the call failed", GetLastError());
        continue;
      }
      durable = files.CopiesDurable();
    }
    // Looked at once the back-end has let the file go.
    if ((flushed.count(IndexOf(path)) != 0) != row.flushed) {
      Fail(row.label, row.flushed ? "not flushed" : "flushed", flushed.size());
    }
    if (durable != row.flushed) Fail(row.label, "CopiesDurable says otherwise", durable);
  }
  kestrune::win32::ForceWindowsChecksForTests(false);
  Clear(path);
  Clear(source);
  RemoveDirectoryW(package.c_str());
  RemoveDirectoryW(installation.c_str());
}

// Which checks tell where a name led. Under Wine, which follows a host link
// whatever it is asked and shows one to a file as a plain file, the final
// path of every handle; on Windows (forced here) the reparse attribute, and
// the final path only of a reparse point. A packaged file is read only from
// a handle inside the package, on either. The links are the host's, made
// beside the program before it starts: inst\file-link and pkg\file-link
// lead to a file outside both, inst\folder-link to a folder.
void LinkRows() {
  using kestrune::FileResult;
  using kestrune::PathKind;
  struct Row {
    const char* label;
    bool windows;
    // What the back-end answers, as a number, for the folders given.
    int (*ask)(Win32FileSystem& files, const std::wstring& installation,
               const std::wstring& package);
    int expected;
  };
  const Row rows[] = {
      {"Wine: a host link to a file below the installation is a link", false,
       [](Win32FileSystem& files, const std::wstring& installation, const std::wstring&) {
         return static_cast<int>(files.Probe(installation + L"\\file-link"));
       },
       static_cast<int>(PathKind::kLink)},
      {"Windows: the same name shows no reparse attribute, so is the entry itself", true,
       [](Win32FileSystem& files, const std::wstring& installation, const std::wstring&) {
         return static_cast<int>(files.Probe(installation + L"\\file-link"));
       },
       static_cast<int>(PathKind::kFile)},
      {"Wine: a file below a host link to a folder is refused", false,
       [](Win32FileSystem& files, const std::wstring& installation, const std::wstring&) {
         return static_cast<int>(files.Probe(installation + L"\\folder-link\\plain"));
       },
       static_cast<int>(PathKind::kLink)},
      // Wine shows the attribute in the listing alone, never on a handle:
      // opened as itself there, a link is its target's folder. What Windows
      // needs is no guard under Wine, which is why Wine is told apart.
      {"Windows: Wine's link to a folder, opened, shows no attribute", true,
       [](Win32FileSystem& files, const std::wstring& installation, const std::wstring&) {
         return static_cast<int>(files.Probe(installation + L"\\folder-link\\plain"));
       },
       static_cast<int>(PathKind::kFile)},
      {"Windows: the listing's attribute tells the link", true,
       [](Win32FileSystem& files, const std::wstring& installation, const std::wstring&) {
         const auto folder = files.HoldFolder(installation + L"\\");
         kestrune::FileIdentity identity;
         return static_cast<int>(files.IdentifyIn(*folder, L"folder-link", &identity));
       },
       static_cast<int>(PathKind::kLink)},
      {"Windows: a plain file is a file", true,
       [](Win32FileSystem& files, const std::wstring& installation, const std::wstring&) {
         return static_cast<int>(files.Probe(installation + L"\\plain"));
       },
       static_cast<int>(PathKind::kFile)},
      {"Wine: a packaged link leading out is not hashed", false,
       [](Win32FileSystem& files, const std::wstring&, const std::wstring& package) {
         kestrune::Sha256Digest digest{};
         return static_cast<int>(files.HashFile(package + L"\\file-link", &digest).result);
       },
       static_cast<int>(FileResult::kLeadsOut)},
      {"Windows: nor there", true,
       [](Win32FileSystem& files, const std::wstring&, const std::wstring& package) {
         return static_cast<int>(files.HashFile(package + L"\\file-link", nullptr).result);
       },
       static_cast<int>(FileResult::kLeadsOut)},
      {"a packaged link leading out is not copied, nothing made", false,
       [](Win32FileSystem& files, const std::wstring& installation, const std::wstring& package) {
         const auto from = files.HoldFolder(package + L"\\");
         const auto to = files.HoldFolder(installation + L"\\");
         const FileResult copied =
             files.CopyNewIn(*from, L"file-link", *to, L"copy.tmp", nullptr).result;
         const bool made = GetFileAttributesW((installation + L"\\copy.tmp").c_str()) !=
                           INVALID_FILE_ATTRIBUTES;
         return made ? -1 : static_cast<int>(copied);
       },
       static_cast<int>(FileResult::kLeadsOut)},
  };
  const std::wstring installation = Here(L"links.tmp\\inst");
  const std::wstring package = Here(L"links.tmp\\pkg");
  if (!WriteFile(installation + L"\\plain", "plain")) {
    return Fail("links", "no links laid out beside the program", GetLastError());
  }
  for (const Row& row : rows) {
    kestrune::win32::ForceWindowsChecksForTests(row.windows);
    Win32FileSystem files;
    if (!files.Confine(package, installation).ok()) {
      Fail(row.label, "cannot confine", GetLastError());
      continue;
    }
    const int answer = row.ask(files, installation, package);
    if (answer != row.expected) Fail(row.label, "answered", static_cast<unsigned long>(answer));
  }
  kestrune::win32::ForceWindowsChecksForTests(false);
  Clear(installation + L"\\plain");
}

}  // namespace

int wmain() {
  AttributeRows();
  LinkRows();
  if (NoteFlushes()) {
    DurabilityRows();
  } else {
    Fail("durability", "FlushFileBuffers is not imported", 0);
  }
  std::printf("%d file-system failure(s)\n", failures);
  return failures == 0 ? 0 : 1;
}
