// Where each root's keys come from.
//
// A folder set-up (KORVAN_REGISTRY_DIR, or a machine with no machine-wide registry) keeps each
// root in one file of the registry folder. A packaged set-up reads, in order of precedence:
//
//   HKEY_LOCAL_MACHINE  the machine's registry (platform/registry/MachineLayer.h), read-only
//   HKEY_CURRENT_USER   the user's HKEY_CURRENT_USER.json
//   HKEY_CLASSES_ROOT   the user's classes (HKEY_CURRENT_USER\Software\Classes, then the user's
//                       own HKEY_CLASSES_ROOT.json), then the machine's Software\Classes
//
// as Windows merges a user's classes over the machine's.
#pragma once

#include "platform/Registry.h"
#include "platform/registry/StoreCache.h"

#include <QString>

#include <string>
#include <vector>

namespace platform::registry {

struct Layer {
    std::string file;        // the user's store file; empty for the machine's layer
    QString prefix;          // the path of the root's key inside the layer's keys
    bool createHere = false; // new keys and values of the root go here
    Parsed loaded;

    bool writable() const { return !file.empty(); }
};

// The layers of a root, most important first, each loaded through the cache.
std::vector<Layer> layersOf(RegistryRoot root);

// True in a packaged set-up.
bool machineWide();

// Why a write to the machine's registry is refused.
std::string machineWideRefusal();

} // namespace platform::registry
