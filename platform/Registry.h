// A small registry store standing in for HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT and
// HKEY_CURRENT_USER.
//
// Storage: one JSON file per root in the registry folder (KORVAN_REGISTRY_DIR when set, else
// $XDG_CONFIG_HOME/korvanng/registry): HKEY_LOCAL_MACHINE.json, HKEY_CLASSES_ROOT.json,
// HKEY_CURRENT_USER.json. The file is one object mapping each key's full path (backslash
// separated, as written on Windows) to an object of its values. A JSON string is a string value
// (REG_SZ); a JSON whole number from 0 to 4294967295 is a DWORD value (REG_DWORD). Example:
//
//     {
//         "Software": {},
//         "Software\\Vaultora": {},
//         "Software\\Vaultora\\meridia_Korvan2001": { "LanguageId": "2052", "Count": 3 }
//     }
//
// The root key itself is the empty path. Key and value names are compared without regard to
// case (ASCII only) and keep the case they were created with. Every key has an entry of its
// own, so creating "A\\B" also creates "A". Entries this code does not understand are kept.
//
// A missing file is an empty root. A parsed copy of each file is kept and read again only when
// the file has changed (platform/registry/StoreCache.h), so another process's write is seen by
// the next call. Writes take a lock file beside the store around read-modify-write and replace
// the file atomically, so two processes writing at once lose nothing. A file that is not a
// well-formed store reads as empty, and writes to it are refused, so a damaged file is never
// overwritten; registryLastError() tells why.
//
// On a machine with a machine-wide registry (platform/registry/MachineLayer.h) and no
// KORVAN_REGISTRY_DIR, HKEY_LOCAL_MACHINE is the machine's and read-only, HKEY_CURRENT_USER
// stays the user's file, and HKEY_CLASSES_ROOT merges the user's classes over the machine's;
// writes to it go to HKEY_CURRENT_USER\Software\Classes (platform/registry/Layers.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

enum class RegistryRoot { LocalMachine, ClassesRoot, CurrentUser };

// The folder holding the store files.
std::string registryFolder();
// The file of one root.
std::string registryFilePath(RegistryRoot root);

// How many times this process has read a store file; a benchmark's view of the cache.
std::uint64_t registryFileReads();

// Why the last failed registry call of this thread failed; empty after a success.
const std::string& registryLastError();

class RegistryKey {
public:
    // An existing key; nullopt when it does not exist, the path is malformed (an empty name
    // between backslashes, or a leading or trailing backslash) or the store cannot be read.
    static std::optional<RegistryKey> open(RegistryRoot root, std::string_view path);
    // Opens the key, creating it and any missing parent keys first.
    static std::optional<RegistryKey> create(RegistryRoot root, std::string_view path);

    RegistryRoot root() const { return root_; }
    // The path as stored, in the case the key was created with.
    const std::string& path() const { return path_; }

    // Nullopt when the value is missing, of another type, or the key no longer exists.
    std::optional<std::string> stringValue(std::string_view name) const;
    std::optional<uint32_t> dwordValue(std::string_view name) const;

    // A value of the same name (in any case) is replaced, of whatever type it was.
    bool setString(std::string_view name, std::string_view value);
    bool setDword(std::string_view name, uint32_t value);
    // False when the value does not exist.
    bool deleteValue(std::string_view name);

    // The names of the key's direct subkeys and of its values, as stored; empty when the key no
    // longer exists (registryLastError() then tells why).
    std::vector<std::string> subkeyNames() const;
    std::vector<std::string> valueNames() const;

private:
    RegistryKey(RegistryRoot root, std::string path) : root_(root), path_(std::move(path)) {}

    RegistryRoot root_;
    std::string path_;
};

// Deletes the key, its values and every key below it. False when it does not exist; the root
// itself cannot be deleted. In a merged root, the user's copies go and the machine's stay;
// a key only the machine holds is refused.
bool deleteTree(RegistryRoot root, std::string_view path);

} // namespace platform
