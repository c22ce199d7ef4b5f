// Finds the product's installation folder in the machine-wide registry.
#ifndef KESTRUNE_DISCOVERY_LOCATOR_H_
#define KESTRUNE_DISCOVERY_LOCATOR_H_

#include "run/run_state.h"
#include "platform/platform.h"

namespace kestrune {

enum class LocateResult {
  kFound,         // the installation folder is set and not empty
  kNotInstalled,  // no uninstall entry; message shown
  kNotFound,      // no entry gave a location; message shown
};

// Sets state.install_folder from the uninstall entry of
// state.product_core_guid, or else from the product's per-language keys.
LocateResult LocateInstallation(Registry& registry, Messages& messages,
                                RunState& state);

}  // namespace kestrune

#endif  // KESTRUNE_DISCOVERY_LOCATOR_H_
