#include "replace/patient_file_system.h"

namespace kestrune {
namespace {

constexpr unsigned kWaitsMs[] = {100, 200, 400, 800};

}  // namespace

template <typename Call>
FileStatus PatientFileSystem::Patiently(const std::wstring& what, Call call) {
  FileStatus status = call();
  for (unsigned wait : kWaitsMs) {
    const bool in_use = status == FileResult::kInUse;
    if (!in_use && !(wait_for_denied_ && !status.ok() && environment_.IsAccessDenied(status.code))) {
      break;
    }
    if (log_.enabled()) {
      log_.Line(L"waiting " + std::to_wstring(wait / 1000) + L"." + std::to_wstring(wait / 100 % 10) +
                L" s for " + what +
                (in_use ? L": in use by another process"
                        : L": access denied, as for a file another process closes or deletes"));
    }
    environment_.Sleep(wait);
    status = call();
  }
  return status;
}

FileStatus PatientFileSystem::Move(const std::wstring& from, const std::wstring& to) {
  return Patiently(from, [&] { return inner_.Move(from, to); });
}

FileStatus PatientFileSystem::CopyNew(const std::wstring& from, const std::wstring& to,
                                      Sha256Digest* digest) {
  return Patiently(from + L" or " + to, [&] { return inner_.CopyNew(from, to, digest); });
}

FileStatus PatientFileSystem::Remove(const std::wstring& path) {
  return Patiently(path, [&] { return inner_.Remove(path); });
}

FileStatus PatientFileSystem::HashFile(const std::wstring& path, Sha256Digest* digest) {
  return Patiently(path, [&] { return inner_.HashFile(path, digest); });
}

FileStatus PatientFileSystem::FlushFile(const std::wstring& path) {
  return Patiently(path, [&] { return inner_.FlushFile(path); });
}

FileStatus PatientFileSystem::Link(const std::wstring& existing, const std::wstring& name) {
  return Patiently(existing, [&] { return inner_.Link(existing, name); });
}

FileStatus PatientFileSystem::Replace(const std::wstring& from, const std::wstring& to) {
  return Patiently(to, [&] { return inner_.Replace(from, to); });
}

}  // namespace kestrune
