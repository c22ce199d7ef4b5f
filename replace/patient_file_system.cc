#include "replace/patient_file_system.h"

namespace kestrune {
namespace {

constexpr unsigned kWaitsMs[] = {100, 200, 400, 800};
// When a person watches: then a try every second, up to this long in all.
constexpr unsigned kWatchedWaitMs = 1000;
constexpr unsigned kWatchedLimitMs = 30000;
// How long a cancel may wait to be seen during a wait.
constexpr unsigned kSliceMs = 100;

// The holders for the log ("a.exe (process 12), b.exe (process 34)") and
// for a person ("a.exe, b.exe").
void Describe(const std::vector<FileHolder>& holders, std::wstring* logged,
              std::wstring* programs) {
  for (const FileHolder& holder : holders) {
    if (!logged->empty()) {
      *logged += L", ";
      *programs += L", ";
    }
    *logged += holder.name + L" (process " + std::to_wstring(holder.id) + L")";
    *programs += holder.name;
  }
}

std::wstring Tenths(unsigned ms) {
  return std::to_wstring(ms / 1000) + L"." + std::to_wstring(ms / 100 % 10);
}

// The paths a call acts on, for Patiently.
std::pair<std::wstring, std::wstring> Paths(std::wstring first, std::wstring second = {}) {
  return {std::move(first), std::move(second)};
}

}  // namespace

bool PatientFileSystem::Sleep(unsigned ms) {
  // Unwatched waits are short, and a cancel is seen before the next file.
  Progress* const progress = patience_.progress;
  if (progress == nullptr || !patience_.watched) {
    environment_.Sleep(ms);
    return true;
  }
  for (unsigned slept = 0; slept < ms; slept += kSliceMs) {
    if (progress->CancelRequested()) return false;
    environment_.Sleep(ms - slept < kSliceMs ? ms - slept : kSliceMs);
  }
  return !progress->CancelRequested();
}

template <typename What, typename Call>
FileStatus PatientFileSystem::Patiently(What what, Call call) {
  FileStatus status = call();
  std::wstring logged;  // the holders last named, for the failure line
  bool shown = false;
  unsigned waited = 0;
  for (size_t round = 0;; ++round) {
    const bool in_use = status == FileResult::kInUse;
    const bool denied =
        wait_for_denied_ && !status.ok() && environment_.IsAccessDenied(status.code);
    if (!in_use && !denied) break;
    unsigned wait = 0;
    if (round < sizeof kWaitsMs / sizeof kWaitsMs[0]) {
      wait = kWaitsMs[round];
    } else if (in_use && patience_.watched && waited < kWatchedLimitMs) {
      wait = kWatchedLimitMs - waited < kWatchedWaitMs ? kWatchedLimitMs - waited : kWatchedWaitMs;
    }
    if (wait == 0) break;
    const std::pair<std::wstring, std::wstring> paths = what();
    std::wstring programs;
    logged.clear();
    if (in_use && patience_.processes != nullptr) {
      // Either path of a copy may be the one in use.
      std::vector<FileHolder> holders = patience_.processes->Holders(paths.first);
      if (!paths.second.empty()) {
        for (FileHolder& holder : patience_.processes->Holders(paths.second)) {
          holders.push_back(std::move(holder));
        }
      }
      Describe(holders, &logged, &programs);
    }
    if (log_.enabled()) {
      log_.Line(L"waiting " + Tenths(wait) + L" s for " + paths.first +
                (paths.second.empty() ? L"" : L" or " + paths.second) +
                (!in_use ? L": access denied, as for a file another process closes or deletes"
                 : logged.empty() ? L": in use by another process"
                                  : L": in use by " + logged));
    }
    if (in_use && patience_.watched && patience_.progress != nullptr) {
      patience_.progress->Waiting(paths.first, programs);
      shown = true;
    }
    const bool slept = Sleep(wait);
    waited += wait;
    // A cancel ends the wait: the call's answer stands, and the run undoes.
    if (!slept) break;
    status = call();
  }
  if (shown) patience_.progress->Waiting({}, {});
  log_.InUseBy(status == FileResult::kInUse ? std::move(logged) : std::wstring());
  return status;
}

FileStatus PatientFileSystem::Move(const std::wstring& from, const std::wstring& to) {
  return Patiently([&] { return Paths(from); }, [&] { return inner_.Move(from, to); });
}

FileStatus PatientFileSystem::CopyNew(const std::wstring& from, const std::wstring& to,
                                      Sha256Digest* digest) {
  return Patiently([&] { return Paths(from, to); },
                   [&] { return inner_.CopyNew(from, to, digest); });
}

FileStatus PatientFileSystem::Remove(const std::wstring& path) {
  return Patiently([&] { return Paths(path); }, [&] { return inner_.Remove(path); });
}

FileStatus PatientFileSystem::OpenOwn(const std::wstring& path, std::unique_ptr<OwnFile>* file) {
  return Patiently([&] { return Paths(path); }, [&] { return inner_.OpenOwn(path, file); });
}

FileStatus PatientFileSystem::HashFile(const std::wstring& path, Sha256Digest* digest) {
  return Patiently([&] { return Paths(path); }, [&] { return inner_.HashFile(path, digest); });
}

FileStatus PatientFileSystem::FlushFile(const std::wstring& path) {
  return Patiently([&] { return Paths(path); }, [&] { return inner_.FlushFile(path); });
}

FileStatus PatientFileSystem::Link(const std::wstring& existing, const std::wstring& name) {
  return Patiently([&] { return Paths(existing); }, [&] { return inner_.Link(existing, name); });
}

FileStatus PatientFileSystem::Replace(const std::wstring& from, const std::wstring& to) {
  return Patiently([&] { return Paths(to); }, [&] { return inner_.Replace(from, to); });
}

FileStatus PatientFileSystem::CopyNewIn(const Folder& from_folder, const std::wstring& from,
                                        const Folder& to_folder, const std::wstring& to,
                                        Sha256Digest* digest) {
  return Patiently([&] { return Paths(from_folder.PathOf(from), to_folder.PathOf(to)); },
                   [&] { return inner_.CopyNewIn(from_folder, from, to_folder, to, digest); });
}

FileStatus PatientFileSystem::LinkIn(const Folder& folder, const std::wstring& existing,
                                     const std::wstring& name) {
  return Patiently([&] { return Paths(folder.PathOf(existing)); },
                   [&] { return inner_.LinkIn(folder, existing, name); });
}

FileStatus PatientFileSystem::ReplaceIn(const Folder& folder, const std::wstring& from,
                                        const std::wstring& to) {
  return Patiently([&] { return Paths(folder.PathOf(to)); },
                   [&] { return inner_.ReplaceIn(folder, from, to); });
}

FileStatus PatientFileSystem::MoveIn(const Folder& folder, const std::wstring& from,
                                     const std::wstring& to) {
  return Patiently([&] { return Paths(folder.PathOf(from)); },
                   [&] { return inner_.MoveIn(folder, from, to); });
}

FileStatus PatientFileSystem::LinkAsideIn(const Folder& folder, const std::wstring& existing,
                                          const std::wstring& name, const FileIdentity& expected) {
  return Patiently([&] { return Paths(folder.PathOf(existing)); },
                   [&] { return inner_.LinkAsideIn(folder, existing, name, expected); });
}

FileStatus PatientFileSystem::MoveAsideIn(const Folder& folder, const std::wstring& from,
                                          const std::wstring& to, const FileIdentity& expected) {
  return Patiently([&] { return Paths(folder.PathOf(from)); },
                   [&] { return inner_.MoveAsideIn(folder, from, to, expected); });
}

}  // namespace kestrune
