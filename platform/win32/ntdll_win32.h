// The one door to ntdll: the few native file calls that the Win32 API lacks
// on the oldest supported system, looked up at run time, their statuses
// mapped to Win32 error codes so that the rest of the back-end speaks only
// the Win32 error vocabulary.
#ifndef KESTRUNE_PLATFORM_WIN32_NTDLL_WIN32_H_
#define KESTRUNE_PLATFORM_WIN32_NTDLL_WIN32_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32/windows_h.h"

namespace kestrune::win32 {

// Whether the process runs under Wine, which follows a host symbolic link
// whatever it is asked and shows one to a file as a plain file: the
// back-end then asks each handle's final path where Windows needs only the
// reparse attribute. Found once.
bool UnderWine();
// Makes UnderWine answer false under Wine too, so that the back-end's tests
// take the path Windows takes; never reached from the product's command line.
void ForceWindowsChecksForTests(bool forced);

// Marks the file or folder open on `handle` (opened with DELETE access) for
// deletion when its last handle closes, which the system does for a process
// however it ends. What is removed is what the handle names: checked first,
// a link is never followed to its target by this call. A Win32 error code,
// ERROR_SUCCESS when marked.
DWORD DeleteOnClose(HANDLE handle);

// What may be opened at a name.
enum class OpenKind { kAny, kFile, kFolder };

// Opens `name`, a single part, in the folder open on `folder`: the name is
// looked up in that very folder, whatever stands at the folder's path by now.
// A link at the name is opened as itself where the system can (Wine follows
// a host symbolic link regardless). `disposition` is OPEN_EXISTING or
// CREATE_NEW, `attributes` those of a new file; SYNCHRONIZE is added to
// `access`, so the handle serves ReadFile and WriteFile as CreateFileW's does.
// A Win32 error code, ERROR_SUCCESS with the handle in `file`.
// With `follow`, a link at the name is followed instead, as CreateFileW
// follows it. With `security`, a file this call makes gets that descriptor
// in place of what the folder would give it.
DWORD OpenIn(HANDLE folder, const std::wstring& name, DWORD access, DWORD share,
             DWORD disposition, DWORD attributes, OpenKind kind, bool sequential,
             HANDLE* file, bool follow = false, SECURITY_DESCRIPTOR* security = nullptr);

// One entry of a folder: its name and its attributes as the folder's own
// listing tells them (a link's are the link's where the system tells links),
// and where the listing tells them, the file index, size and last write
// time that FactsOf would give.
struct ListedEntry {
  std::wstring name;
  DWORD attributes = 0;
  bool has_facts = false;
  uint64_t index = 0;
  uint64_t size = 0;
  int64_t last_write = 0;
};

// Every entry of the folder open on `folder` (with FILE_LIST_DIRECTORY),
// "." and ".." left out, read through that very handle. A Win32 error code,
// ERROR_SUCCESS when the listing is complete.
DWORD ListIn(HANDLE folder, std::vector<ListedEntry>* entries);

// Gives the file open on `handle` (with DELETE access) the name `name`, a
// single part, in the folder open on `folder`; over an existing file only
// with `replace`. FileLinkInformation instead with `link`: a second name.
DWORD RenameInto(HANDLE handle, HANDLE folder, const std::wstring& name, bool replace,
                 bool link = false);

// The attributes of the file open on `handle` and, for a reparse point, its
// tag; the handle needs FILE_READ_ATTRIBUTES.
DWORD AttributesOf(HANDLE handle, DWORD* attributes, DWORD* reparse_tag);

// Which file is open on `handle` (FILE_READ_ATTRIBUTES): its file index,
// size, last write time and attributes, asked of the file alone: unlike
// GetFileInformationByHandle, no question to the volume (under Wine a round
// trip to its mount manager for the serial number).
struct HandleFacts {
  uint64_t index = 0;
  uint64_t size = 0;
  int64_t last_write = 0;
  DWORD attributes = 0;
};
DWORD FactsOf(HANDLE handle, HandleFacts* facts);
// Only the last write time and the attributes of FactsOf: one question to
// the file where FactsOf asks three.
DWORD WrittenAndAttributesOf(HANDLE handle, HandleFacts* facts);

// Sets the attributes of the file open on `handle` (with
// FILE_WRITE_ATTRIBUTES), its times untouched.
DWORD SetAttributes(HANDLE handle, DWORD attributes);

}  // namespace kestrune::win32

#endif  // KESTRUNE_PLATFORM_WIN32_NTDLL_WIN32_H_
