#pragma once

// File-system helpers shared by the store classes.

#include <string>

namespace softtoken::store::files {

// Creates a folder and its missing parents, owner-only (0700). True when it exists afterwards
// and is safe to keep tokens in (see unsafeDirReason); parents are not checked.
bool ensureDir(const std::string& path);
// Why an existing folder is no place for tokens: another user owns it, or group or others
// may write to it (and so swap token files). Empty when it is safe or does not exist.
std::string unsafeDirReason(const std::string& path);
// Why an existing token file must not be used: it is not a regular file, another user owns
// it, or group or others may read or write it. Empty when it is safe or does not exist.
std::string unsafeFileReason(const std::string& path);
bool exists(const std::string& path);
// Makes `path` an empty owner-only (0600) file unless something is there already. An existing
// file is never opened: closing a descriptor drops every POSIX lock this process holds on the
// file, including those of SQLite connections to it elsewhere in the process (another module
// instance), and a writer in another process would then take itself for the last user and
// delete the -wal and -shm files under those connections.
bool ensurePrivateFile(const std::string& path);
// Letters, digits, '.', '_' and '-', not starting with '.', at most 64 characters:
// safe as a file name stem on every platform we care about.
bool isPlainName(const std::string& name);

std::string tokenPath(const std::string& storeDir, const std::string& name);
inline constexpr const char* kTokenSuffix = ".token";
inline constexpr const char* kSlotsFile = "slots.db";
inline constexpr const char* kEventsFile = "events.log";

} // namespace softtoken::store::files
