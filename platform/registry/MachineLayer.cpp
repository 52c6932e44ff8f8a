#include "platform/registry/MachineLayer.h"

#include "platform/DebugOutput.h"
#include "platform/registry/Names.h"
#include "platform/registry/RegFile.h"
#include "platform/registry/StoreCache.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace platform::registry {

namespace {

// More fragments than any set of packages ships: a folder full of junk is not read on.
constexpr std::size_t kMaxFragments = 1000;

std::string fromEnvironment(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0' ? value : fallback;
}

// A registration text as the cache keeps it: Damaged when malformed, with the reason.
Parsed parseRegistration(const QByteArray& bytes, const std::string& path) {
    RegParse reg = parseRegText(bytes, path);
    Parsed parsed;
    if (!reg.ok) {
        parsed.status = LoadStatus::Damaged;
        parsed.error = reg.error;
        debugOutput("registry: " + reg.error + "; the file is skipped");
        return parsed;
    }
    // Carried in one object: machine keys as they are, classes below their machine key.
    parsed.keys = reg.content.localMachine;
    if (!reg.content.classesRoot.isEmpty()) {
        const QString classes = ensureKey(parsed.keys, QString::fromLatin1(kMachineClassesKey));
        for (auto it = reg.content.classesRoot.begin(); it != reg.content.classesRoot.end(); ++it) {
            const QString path = joinedPath(classes, it.key());
            const QString stored = ensureKey(parsed.keys, path);
            QJsonObject values = parsed.keys.value(stored).toObject();
            const QJsonObject added = it.value().toObject();
            for (auto v = added.begin(); v != added.end(); ++v)
                values.insert(storedName(values, v.key()).value_or(v.key()), v.value());
            parsed.keys.insert(stored, values);
        }
    }
    return parsed;
}

// Later files' keys and values over earlier ones'.
void mergeInto(QJsonObject& merged, const QJsonObject& keys) {
    for (auto it = keys.begin(); it != keys.end(); ++it) {
        const QString stored = ensureKey(merged, it.key());
        QJsonObject values = merged.value(stored).toObject();
        const QJsonObject added = it.value().toObject();
        for (auto v = added.begin(); v != added.end(); ++v)
            values.insert(storedName(values, v.key()).value_or(v.key()), v.value());
        merged.insert(stored, values);
    }
}

// The fragment files, sorted by name as bytes; empty when the folder is missing.
std::vector<std::string> fragmentFiles(const std::string& dir) {
    std::vector<std::string> names;
    const std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(dir.c_str()), ::closedir);
    if (!folder)
        return names;
    while (const dirent* entry = ::readdir(folder.get())) {
        const std::string name = entry->d_name;
        if (name.empty() || name[0] == '.' || name.size() <= 4 ||
            name.compare(name.size() - 4, 4, ".reg") != 0)
            continue;
        if (names.size() >= kMaxFragments) {
            debugOutput("registry: more than " + std::to_string(kMaxFragments) + " files in " +
                        dir + "; the rest are not read");
            break;
        }
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    for (std::string& name : names)
        name = dir + "/" + name;
    return names;
}

struct Snapshot {
    std::string dir;
    std::string file;
    std::optional<FileStamp> dirStamp;
    bool dirSettled = false;
    std::vector<std::string> fragments;
    std::vector<std::optional<FileStamp>> inputStamps; // the fragments', then the file's
    QJsonObject keys;
    bool valid = false;
};

std::mutex snapshotMutex;
Snapshot snapshot;

std::vector<std::optional<FileStamp>> stampsOf(const std::vector<std::string>& fragments,
                                               const std::string& file) {
    std::vector<std::optional<FileStamp>> stamps;
    stamps.reserve(fragments.size() + 1);
    for (const std::string& path : fragments)
        stamps.push_back(stampOf(path));
    stamps.push_back(stampOf(file));
    return stamps;
}

} // namespace

std::string machineRegistryDir() {
    return fromEnvironment("KORVAN_MACHINE_REGISTRY_DIR", "/usr/lib/korvanng/registry.d");
}

std::string machineRegistryFile() {
    return fromEnvironment("KORVAN_MACHINE_REGISTRY_FILE", "/etc/korvanng/registry");
}

bool machineLayerPresent() {
    struct stat st {};
    return (::stat(machineRegistryDir().c_str(), &st) == 0 && S_ISDIR(st.st_mode)) ||
           ::stat(machineRegistryFile().c_str(), &st) == 0;
}

QJsonObject machineKeys() {
    const std::string dir = machineRegistryDir();
    const std::string file = machineRegistryFile();
    std::lock_guard lock(snapshotMutex);

    const bool samePlaces = snapshot.valid && snapshot.dir == dir && snapshot.file == file;
    const std::int64_t now = realTimeNs();
    const std::optional<FileStamp> dirStamp = stampOf(dir);
    if (!samePlaces || !snapshot.dirSettled || dirStamp != snapshot.dirStamp) {
        snapshot.fragments = fragmentFiles(dir);
        snapshot.dirStamp = dirStamp;
        snapshot.dirSettled = dirStamp && settledBefore(*dirStamp, now);
        snapshot.valid = false;
    }
    auto stamps = stampsOf(snapshot.fragments, file);
    if (samePlaces && snapshot.valid && stamps == snapshot.inputStamps)
        return snapshot.keys;

    // Each file through the cache, which re-reads only those that changed.
    QJsonObject merged;
    std::vector<std::string> inputs = snapshot.fragments;
    inputs.push_back(file);
    for (const std::string& path : inputs) {
        const Parsed parsed = StoreCache::instance().load(path, 'r', parseRegistration);
        if (parsed.status == LoadStatus::Ok)
            mergeInto(merged, parsed.keys);
        else if (parsed.status == LoadStatus::Unreadable)
            debugOutput("registry: " + parsed.error + "; the file is skipped");
    }
    snapshot.dir = dir;
    snapshot.file = file;
    snapshot.inputStamps = std::move(stamps);
    snapshot.keys = merged;
    // A file changed within a clock tick of this read may change again unseen: read it again.
    snapshot.valid = std::all_of(snapshot.inputStamps.begin(), snapshot.inputStamps.end(),
                                 [now](const std::optional<FileStamp>& stamp) {
                                     return !stamp || settledBefore(*stamp, now);
                                 });
    return merged;
}

} // namespace platform::registry
