#include "verify/package_check.h"

#include <algorithm>
#include <map>
#include <utility>

#include "platform/text.h"
#include "run/messages.h"
#include "run/names.h"
#include "verify/hash_list.h"

namespace kestrune {
namespace {

// Relative paths of the walk's files, without the leading separator; the
// updater's own files left out. With `indices`, each one's place in the walk.
std::vector<std::wstring> RelativeFiles(const PackageFiles& package,
                                        std::vector<size_t>* indices = nullptr) {
  std::vector<std::wstring> relative;
  relative.reserve(package.listed.size());
  for (size_t i = 0; i < package.listed.size(); ++i) {
    const std::wstring path = package.listed.Path(i);
    const size_t start = path.compare(0, package.folder.size(), package.folder) == 0
                             ? package.folder.size()
                             : 0;
    std::wstring name(
        WithoutLeadingSeparators(std::wstring_view(path).substr(start), package.separator));
    if (package.own.Holds(name)) continue;
    relative.push_back(std::move(name));
    if (indices != nullptr) indices->push_back(i);
  }
  return relative;
}

// A packaged file whose open showed it to be a link leading out of the
// package, as the walk logs one it can tell.
void PassOver(const std::wstring& path, RunLog& log) {
  ++log.tally().passed_over;
  log.Line(L"passed over " + path + L": " + msg::kLeadsOutOfPackage);
}

// Windows finds a file by its name in any letter case.
std::wstring Key(const std::wstring& relative, wchar_t separator) {
  return separator == L'\\' ? ToLowerAscii(relative) : relative;
}

}  // namespace

bool CheckPackage(FileSystem& files, const std::wstring& list_path, const PackageFiles& package,
                  RunLog& log, Progress& progress, std::wstring* first,
                  std::map<std::wstring, Sha256Digest>* digests, std::vector<size_t>* outside) {
  std::string bytes;
  // A line a file and a long path: a quarter of a gigabyte lists millions,
  // and a list any larger is not read whole into memory.
  constexpr size_t kListLimit = size_t{256} << 20;
  const FileStatus read = files.ReadWhole(list_path, kListLimit, &bytes);
  std::vector<HashEntry> entries;
  size_t bad_line = 0;
  if (!read.ok()) {
    log.Failure(L"read", list_path, read);
    *first = list_path;
    return false;
  }
  if (!ParseHashList(bytes, package.separator, &entries, &bad_line)) {
    log.Line(L"package check: line " + std::to_wstring(bad_line) + L" of " + list_path +
             L" is no hash and path");
    *first = list_path + L", line " + std::to_wstring(bad_line);
    return false;
  }

  std::map<std::wstring, size_t> found;  // the walk's files, by key
  std::vector<size_t> walk_index;
  const std::vector<std::wstring> walked = RelativeFiles(package, &walk_index);
  for (size_t i = 0; i < walked.size(); ++i) found.emplace(Key(walked[i], package.separator), i);
  std::vector<bool> named(walked.size(), false);
  first->clear();
  // The box names the kind after the path, since a changed, a missing and an
  // unlisted file ask different things of a package builder.
  auto differ = [&](const wchar_t* kind, const std::wstring& path) {
    log.Line(L"package check: " + std::wstring(kind) + L" " + path);
    if (first->empty()) *first = path + L" (" + kind + L")";
  };
  size_t checked = 0;
  for (const HashEntry& entry : entries) {
    // The caller tells a cancel from a difference: the check only stops.
    if (progress.CancelRequested()) return false;
    progress.Report(msg::kCheckingProgress, checked++, entries.size());
    if (package.own.Holds(entry.relative)) continue;
    const auto it = found.find(Key(entry.relative, package.separator));
    if (it == found.end()) {
      // Not read at all: what the walk did not find may lead out of the
      // package.
      differ(L"missing", entry.written);
      continue;
    }
    named[it->second] = true;
    Sha256Digest digest{};
    const std::wstring path = JoinPath(package.folder, entry.relative, package.separator);
    const FileStatus hashed = files.HashFile(path, &digest);
    if (hashed == FileResult::kLeadsOut) PassOver(path, log);
    if (hashed == FileResult::kMissing || hashed == FileResult::kLeadsOut) {
      differ(L"missing", entry.written);
    } else if (!hashed.ok()) {
      log.Failure(L"read", entry.written, hashed);
      differ(L"unreadable", entry.written);
    } else if (digest != entry.digest) {
      differ(L"changed", entry.written);
    } else {
      (*digests)[walked[it->second]] = digest;
    }
  }
  for (size_t i = 0; i < walked.size(); ++i) {
    if (named[i]) continue;
    // A link leading out, which only its open tells, is no file of the
    // package's, listed or not; nothing is read from it. Any other file
    // makes the package differ from its list, however it reads.
    const std::wstring path = JoinPath(package.folder, walked[i], package.separator);
    if (files.HashFile(path, nullptr) == FileResult::kLeadsOut) {
      PassOver(path, log);
      outside->push_back(walk_index[i]);
    } else {
      differ(L"not listed", walked[i]);
    }
  }
  if (first->empty()) {
    log.Line(L"package check: " + std::to_wstring(entries.size()) + L" files as listed in " +
             list_path);
  }
  return first->empty();
}

bool WriteHashList(FileSystem& files, const std::wstring& list_path, const PackageFiles& package,
                   RunLog& log, size_t* count, std::wstring* failed, FileStatus* cause,
                   std::vector<std::wstring>* leading_out) {
  std::vector<std::wstring> walked = RelativeFiles(package);
  std::sort(walked.begin(), walked.end());
  std::vector<std::pair<std::wstring, Sha256Digest>> hashes;
  hashes.reserve(walked.size());
  for (std::wstring& relative : walked) {
    Sha256Digest digest{};
    const std::wstring path = JoinPath(package.folder, relative, package.separator);
    const FileStatus hashed = files.HashFile(path, &digest);
    if (hashed == FileResult::kLeadsOut) {
      PassOver(path, log);
      leading_out->push_back(path);
      continue;
    }
    if (!hashed.ok()) {
      log.Failure(L"read", path, hashed);
      *failed = relative;
      *cause = hashed;
      return false;
    }
    hashes.emplace_back(std::move(relative), digest);
  }
  // Written whole under another name and renamed over the old list, so a
  // list is never seen half written.
  const std::wstring draft = list_path + kListDraftSuffix;
  files.Remove(draft);
  const std::string text = FormatHashList(hashes);
  FileStatus written = files.WriteNew(draft, text);
  if (written.ok()) written = files.Replace(draft, list_path);
  if (!written.ok()) {
    log.Failure(L"write", list_path, written);
    files.Remove(draft);
    *failed = list_path;
    *cause = written;
    return false;
  }
  *count = hashes.size();
  log.Line(L"wrote " + list_path + L" for " + std::to_wstring(hashes.size()) + L" files");
  return true;
}

}  // namespace kestrune
