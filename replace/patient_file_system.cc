#include "replace/patient_file_system.h"

namespace kestrune {
namespace {

constexpr unsigned kWaitsMs[] = {100, 200, 400, 800};

}  // namespace

template <typename What, typename Call>
FileStatus PatientFileSystem::Patiently(What what, Call call) {
  FileStatus status = call();
  for (unsigned wait : kWaitsMs) {
    const bool in_use = status == FileResult::kInUse;
    if (!in_use && !(wait_for_denied_ && !status.ok() && environment_.IsAccessDenied(status.code))) {
      break;
    }
    if (log_.enabled()) {
      log_.Line(L"waiting " + std::to_wstring(wait / 1000) + L"." + std::to_wstring(wait / 100 % 10) +
                L" s for " + what() +
                (in_use ? L": in use by another process"
                        : L": access denied, as for a file another process closes or deletes"));
    }
    environment_.Sleep(wait);
    status = call();
  }
  return status;
}

FileStatus PatientFileSystem::Move(const std::wstring& from, const std::wstring& to) {
  return Patiently([&] { return from; }, [&] { return inner_.Move(from, to); });
}

FileStatus PatientFileSystem::CopyNew(const std::wstring& from, const std::wstring& to,
                                      Sha256Digest* digest) {
  return Patiently([&] { return from + L" or " + to; },
                   [&] { return inner_.CopyNew(from, to, digest); });
}

FileStatus PatientFileSystem::Remove(const std::wstring& path) {
  return Patiently([&] { return path; }, [&] { return inner_.Remove(path); });
}

FileStatus PatientFileSystem::OpenOwn(const std::wstring& path, std::unique_ptr<OwnFile>* file) {
  return Patiently([&] { return path; }, [&] { return inner_.OpenOwn(path, file); });
}

FileStatus PatientFileSystem::HashFile(const std::wstring& path, Sha256Digest* digest) {
  return Patiently([&] { return path; }, [&] { return inner_.HashFile(path, digest); });
}

FileStatus PatientFileSystem::FlushFile(const std::wstring& path) {
  return Patiently([&] { return path; }, [&] { return inner_.FlushFile(path); });
}

FileStatus PatientFileSystem::Link(const std::wstring& existing, const std::wstring& name) {
  return Patiently([&] { return existing; }, [&] { return inner_.Link(existing, name); });
}

FileStatus PatientFileSystem::Replace(const std::wstring& from, const std::wstring& to) {
  return Patiently([&] { return to; }, [&] { return inner_.Replace(from, to); });
}

FileStatus PatientFileSystem::CopyNewIn(const Folder& from_folder, const std::wstring& from,
                                        const Folder& to_folder, const std::wstring& to,
                                        Sha256Digest* digest) {
  return Patiently([&] { return from_folder.PathOf(from) + L" or " + to_folder.PathOf(to); },
                   [&] { return inner_.CopyNewIn(from_folder, from, to_folder, to, digest); });
}

FileStatus PatientFileSystem::LinkIn(const Folder& folder, const std::wstring& existing,
                                     const std::wstring& name) {
  return Patiently([&] { return folder.PathOf(existing); },
                   [&] { return inner_.LinkIn(folder, existing, name); });
}

FileStatus PatientFileSystem::ReplaceIn(const Folder& folder, const std::wstring& from,
                                        const std::wstring& to) {
  return Patiently([&] { return folder.PathOf(to); },
                   [&] { return inner_.ReplaceIn(folder, from, to); });
}

FileStatus PatientFileSystem::MoveIn(const Folder& folder, const std::wstring& from,
                                     const std::wstring& to) {
  return Patiently([&] { return folder.PathOf(from); },
                   [&] { return inner_.MoveIn(folder, from, to); });
}

FileStatus PatientFileSystem::LinkAsideIn(const Folder& folder, const std::wstring& existing,
                                          const std::wstring& name, const FileIdentity& expected) {
  return Patiently([&] { return folder.PathOf(existing); },
                   [&] { return inner_.LinkAsideIn(folder, existing, name, expected); });
}

FileStatus PatientFileSystem::MoveAsideIn(const Folder& folder, const std::wstring& from,
                                          const std::wstring& to, const FileIdentity& expected) {
  return Patiently([&] { return folder.PathOf(from); },
                   [&] { return inner_.MoveAsideIn(folder, from, to, expected); });
}

}  // namespace kestrune
