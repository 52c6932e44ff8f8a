// The machine-wide registry of a packaged installation, read by every user and written by no
// program of the suite: each package's fragment in the registration folder
// (/usr/lib/korvanng/registry.d/*.reg, in file-name order), then the administrator's file
// (/etc/korvanng/registry) on top; a later value replaces an earlier one. Both are text in the
// form of platform/registry/RegFile.h. KORVAN_MACHINE_REGISTRY_DIR and
// KORVAN_MACHINE_REGISTRY_FILE name other places (tests).
//
// A fragment that is not well formed is skipped as a whole, and the debug channel says why:
// one broken package must not take the others' registrations with it, nor be half-read.
#pragma once

#include <QJsonObject>

#include <string>

namespace platform::registry {

std::string machineRegistryDir();
std::string machineRegistryFile();

// True when the folder or the file exists: the installation is a packaged one.
bool machineLayerPresent();

// HKEY_LOCAL_MACHINE as the machine defines it; the fragments' HKEY_CLASSES_ROOT sections
// are its "Software\\Classes". Re-read only when a file or the folder's list has changed.
QJsonObject machineKeys();

inline constexpr const char* kMachineClassesKey = "Software\\Classes";

} // namespace platform::registry
