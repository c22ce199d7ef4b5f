// Confirms the installed version through the product's own version library.
#ifndef KESTRUNE_DISCOVERY_PROBE_H_
#define KESTRUNE_DISCOVERY_PROBE_H_

#include <cstdint>
#include <string>

#include "run/run_state.h"
#include "platform/platform.h"

namespace kestrune {

enum class ProbeResult {
  kMatches,         // the reported version contains ProductVERNUM
  kLibraryMissing,  // message shown
  kWrongVersion,    // message shown
};

struct ProbeServices {
  FileSystem& files;
  VersionLibrary& library;
  Messages& messages;
  wchar_t separator;
  std::wstring app_title;  // caption of the framework message box
};

// Asks the version library in state.install_folder for the installed version
// (into state.version_buffer) and checks it against state.product_vernum.
ProbeResult ProbeInstalledVersion(const ProbeServices& services, RunState& state);

// A library may answer in UTF-16; its first character is below 256, so a zero
// at byte 1 marks UTF-16, which is then narrowed to 8-bit in place.
void NarrowVersionBuffer(uint8_t (&buffer)[kVersionBufferSize]);

// The buffer's bytes up to the first zero, each byte one character.
std::wstring VersionTextOf(const uint8_t (&buffer)[kVersionBufferSize]);

}  // namespace kestrune

#endif  // KESTRUNE_DISCOVERY_PROBE_H_
