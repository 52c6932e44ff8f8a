// Fuzzed bytes as a registry store file (HKEY_CURRENT_USER.json), which any process of the user
// may have written. Every key and value it lists must read back; a write to a damaged file must
// be refused and leave the file as it was; a write to a sound one must keep every key it had.
#include "platform/Registry.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using platform::RegistryKey;
using platform::RegistryRoot;

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "platform_fuzz_registry: %s\n", what);
        std::abort();
    }
}

std::string storeDir;

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What the store promises to understand: one object of objects.
bool wellFormedStore(const uint8_t* data, size_t size) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(
        QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    const QJsonObject keys = document.object();
    for (auto it = keys.begin(); it != keys.end(); ++it) {
        if (!it.value().isObject())
            return false;
    }
    return true;
}

// The keys below `key`, down to a bounded depth and count, each read with its values.
void walk(const RegistryKey& key, int depth, std::vector<std::string>& paths) {
    if (depth > 8 || paths.size() > 256)
        return;
    for (const std::string& name : key.valueNames()) {
        (void)key.stringValue(name);
        (void)key.dwordValue(name);
    }
    for (const std::string& name : key.subkeyNames()) {
        const std::string path = key.path().empty() ? name : key.path() + "\\" + name;
        const auto child = RegistryKey::open(RegistryRoot::CurrentUser, path);
        check(child.has_value(), "a listed subkey cannot be opened");
        paths.push_back(path);
        walk(*child, depth + 1, paths);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // In memory where the machine has it: every write of the store is synced, and a disk would
    // make the run a hundred times slower.
    char memory[] = "/dev/shm/platform_fuzz_registry.XXXXXX";
    char disk[] = "/tmp/platform_fuzz_registry.XXXXXX";
    const char* made = mkdtemp(memory);
    if (made == nullptr)
        made = mkdtemp(disk);
    if (made == nullptr)
        std::abort();
    storeDir = made;
    setenv("KORVAN_REGISTRY_DIR", made, 1);
    std::atexit([] {
        for (const char* name : {"/HKEY_CURRENT_USER.json", "/HKEY_CURRENT_USER.json.lock"})
            std::remove((storeDir + name).c_str());
        rmdir(storeDir.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = platform::registryFilePath(RegistryRoot::CurrentUser);
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        check(out.good(), "cannot write the store file");
    }
    const bool sound = wellFormedStore(data, size);

    std::vector<std::string> before;
    if (const auto root = RegistryKey::open(RegistryRoot::CurrentUser, ""))
        walk(*root, 0, before);
    check(sound || before.empty(), "a damaged store lists keys");

    auto probe = RegistryKey::create(RegistryRoot::CurrentUser, "Fuzz Probe\\Key");
    const bool written = probe && probe->setString("Value", "text");
    if (!sound) {
        check(!written, "a damaged store was written");
        check(fileText(path) == std::string(reinterpret_cast<const char*>(data), size),
              "a damaged store was changed");
        return 0;
    }
    if (!written)
        return 0; // a sound store may still refuse, e.g. a value where the key path needs an object
    check(probe->stringValue("Value") == std::optional<std::string>("text"),
          "a written value reads back otherwise");
    for (const std::string& kept : before)
        check(RegistryKey::open(RegistryRoot::CurrentUser, kept).has_value(), "a write lost a key");
    return 0;
}
