#include "discovery/probe.h"

#include <cstring>

#include "run/messages.h"
#include "platform/text.h"

namespace kestrune {
namespace {

constexpr wchar_t kLibraryName[] = L"VoUInfo.dll";
constexpr int32_t kCallSize = 39;
constexpr int32_t kCallFlags = 0;
// Room beyond the 40 bytes the library may use, so that one that writes a
// little too much cannot reach other memory.
constexpr size_t kCallBufferSize = 512;

bool Exists(FileSystem& files, const std::wstring& path) {
  const PathKind kind = files.Probe(path);
  // A library reached through a link is only read, never written.
  return kind != PathKind::kMissing && kind != PathKind::kError;
}

}  // namespace

void NarrowVersionBuffer(uint8_t (&buffer)[kVersionBufferSize]) {
  if (buffer[1] != 0) return;
  for (size_t i = 0; i < kVersionBufferSize; ++i) {
    buffer[i] = i < kVersionBufferSize / 2 ? buffer[2 * i] : 0;
  }
}

std::wstring VersionTextOf(const uint8_t (&buffer)[kVersionBufferSize]) {
  std::wstring text;
  for (size_t i = 0; i < kVersionBufferSize && buffer[i] != 0; ++i) {
    text.push_back(static_cast<wchar_t>(buffer[i]));
  }
  return text;
}

ProbeResult ProbeInstalledVersion(const ProbeServices& services, RunState& state) {
  const std::wstring path =
      JoinPath(state.install_folder, kLibraryName, services.separator);
  if (!Exists(services.files, path)) {
    state.log.Line(L"version library " + path + L" is missing");
    services.messages.Show(msg::kLibraryMissing, msg::kErrorCaption,
                           Messages::Style::kPlain);
    return ProbeResult::kLibraryMissing;
  }

  // Cleared first, so that a library that cannot be called or writes nothing
  // leaves no stale bytes to be taken for a version.
  std::memset(state.version_buffer, 0, sizeof state.version_buffer);
  if (!Exists(services.files, path)) {
    services.messages.Show(path + msg::kDoesNotExist, services.app_title,
                           Messages::Style::kFramework);
  } else {
    uint8_t call_buffer[kCallBufferSize] = {};
    std::wstring cause;
    const VersionLibrary::Outcome outcome =
        services.library.CallVersionEntry(path, call_buffer, kCallSize, kCallFlags, &cause);
    const std::wstring because = cause.empty() ? L"" : L": " + cause;
    switch (outcome) {
      case VersionLibrary::Outcome::kCalled:
        if (!cause.empty()) state.log.Line(L"version library " + path + L" called" + because);
        break;
      case VersionLibrary::Outcome::kNotLoaded:
        state.log.Line(L"version library " + path + L" could not be loaded" + because);
        break;
      case VersionLibrary::Outcome::kNoEntry:
        state.log.Line(L"version library " + path + L" has no version entry" + because);
        break;
      case VersionLibrary::Outcome::kFailed:
        state.log.Line(L"version library " + path + L" crashed or hung when called" + because);
        break;
    }
    std::memcpy(state.version_buffer, call_buffer, sizeof state.version_buffer);
  }
  NarrowVersionBuffer(state.version_buffer);
  state.log.Line(L"version library " + path + L" reported \"" +
                 VersionTextOf(state.version_buffer) + L"\"");

  // Only the reported text counts: a folder path that happens to contain the
  // version must not pass a wrong installation.
  if (VersionTextOf(state.version_buffer).find(state.product_vernum) ==
      std::wstring::npos) {
    services.messages.Show(msg::kWrongVersion, msg::kErrorCaption,
                           Messages::Style::kPlain);
    return ProbeResult::kWrongVersion;
  }
  return ProbeResult::kMatches;
}

}  // namespace kestrune
